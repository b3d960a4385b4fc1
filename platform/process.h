#pragma once
// Processes: finding a running program by its file, and starting one.

#include <string>
#include <vector>

namespace kova::platform {

// Id of a process whose executable file is `path` (ASCII case-insensitive comparison); with
// several, the last one enumerated. 0 when none. A script that runs through an interpreter is
// found too: the interpreter's process that runs it.
int FindProcessByExecutable(const std::string& path);
// The program's parameters after its own name, split by the command-line rules (runs of blanks
// separate, double quotes group, an empty pair of quotes is skipped). On systems that hand the
// program separate arguments those are taken, without the empty ones; `argc` and `argv` are
// main's.
std::vector<std::string> ProgramParameters(int argc, char** argv);
// A console program's arguments after its name, as UTF-8, split as the C runtime splits them
// (the system's wide command line on Windows, where `argv` is in the system's code page).
std::vector<std::string> ConsoleArguments(int argc, char** argv);
// main's `argc` and `argv` with the arguments as UTF-8 (ConsoleArguments), the program's name
// first; they stay valid while this lives.
class TUtf8Arguments {
 public:
  TUtf8Arguments(int argc, char** argv) : storage_(ConsoleArguments(argc, argv)) {
    storage_.insert(storage_.begin(), argc > 0 ? argv[0] : "");
    for (std::string& a : storage_) pointers_.push_back(a.data());
    pointers_.push_back(nullptr);
  }
  int Count() const { return static_cast<int>(storage_.size()); }
  char** Argv() { return pointers_.data(); }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};
// Starts `program` with `parameters`, one text as a command line carries it (split by the
// program's command-line rules where the system passes separate arguments), in `directory` (the
// current folder when empty), shown normally; does not wait for it and leaves nothing behind
// when it ends. Handles and descriptors are not inherited.
bool StartProgram(const std::string& program, const std::string& parameters,
                  const std::string& directory);
// As StartProgram, with the arguments given one by one (each passed on unchanged).
bool SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& directory);
// The system's error code for the last start of this thread that failed (errno; GetLastError on
// Windows, where 740 means the program asks for administrator rights).
int LastStartError();

// A place in a repair where tests stop the program to kill it: in a build with test hooks, when
// the environment variable KOVA_FAULT_STOP names `point`, the process stops itself there the
// first time it passes. Otherwise it does nothing.
#ifdef KOVA_TEST_HOOKS
void FaultPoint(const char* point);
#else
inline void FaultPoint(const char*) {}
#endif

}  // namespace kova::platform
