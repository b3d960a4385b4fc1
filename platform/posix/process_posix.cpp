#include <dirent.h>
#include <glib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "support/text.h"

extern char** environ;

namespace kova::platform {

namespace {

// Whether the file at `path` is a script that runs through the interpreter its "#!" line names.
bool IsScript(const std::string& path) {
  char head[2] = {};
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  const std::size_t n = std::fread(head, 1, 2, f);
  std::fclose(f);
  return n == 2 && head[0] == '#' && head[1] == '!';
}

std::string ReadLink(const std::string& link) {
  char buffer[4096];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// A script's process is its interpreter's, which the kernel starts with the script's path after
// the interpreter's own options: "/bin/sh /games/x/start.sh" or "python3 -u ./start.py". The
// first argument that is no option names the script, relative to the process's folder unless
// it is absolute.
std::string ScriptOfProcess(const std::string& procDir) {
  FILE* f = std::fopen((procDir + "/cmdline").c_str(), "rb");
  if (!f) return {};
  char buffer[8192];
  const std::size_t n = std::fread(buffer, 1, sizeof buffer, f);
  std::fclose(f);
  std::size_t start = 0;
  for (int index = 0; start < n; ++index) {
    const char* arg = buffer + start;
    const std::size_t length = ::strnlen(arg, n - start);
    start += length + 1;
    if (index == 0 || length == 0 || arg[0] == '-') continue;
    std::string script(arg, length);
    if (script[0] != '/') script = ReadLink(procDir + "/cwd") + "/" + script;
    return script;
  }
  return {};
}

// `path` with "." components and repeated separators taken out, for comparing script paths.
std::string Tidy(const std::string& path) {
  std::string out;
  std::size_t i = 0;
  while (i < path.size()) {
    const std::size_t end = std::min(path.find('/', i), path.size());
    const std::string part = path.substr(i, end - i);
    if (!part.empty() && part != ".") out += "/" + part;
    i = end + 1;
  }
  return out;
}

}  // namespace

int FindProcessByExecutable(const std::string& path) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  // A game started through an interpreter runs as the interpreter; its script is then found on
  // the process's command line.
  const bool script = IsScript(path);
  const std::string tidyPath = Tidy(path);
  int found = 0;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    const std::string exe = ReadLink(dir + "/exe");
    if (exe.empty()) continue;  // a process we may not inspect, or a kernel thread
    if (SameTextAscii(exe, path) ||
        (script && SameTextAscii(Tidy(ScriptOfProcess(dir)), tidyPath))) {
      found = static_cast<int>(pid);
    }
  }
  ::closedir(proc);
  return found;
}

namespace {
thread_local int lastStartError = 0;
}  // namespace

int LastStartError() {
  return lastStartError;
}

bool SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& directory) {
  std::vector<std::string> storage;
  storage.push_back(program);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(storage.size() + 1);
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    lastStartError = rc;
    return false;
  }
  // The caller never waits for the child; the message loop reaps it when it ends, so it does not
  // linger as a zombie, and no thread waits for each child.
  g_child_watch_add(
      pid, [](GPid child, gint, gpointer) { g_spawn_close_pid(child); }, nullptr);
  return true;
}

std::vector<std::string> ConsoleArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::vector<std::string> ProgramParameters(int argc, char** argv) {
  // Empty arguments are skipped, as an empty pair of quotes is on the command line.
  std::vector<std::string> params;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') params.emplace_back(argv[i]);
  }
  return params;
}

bool StartProgram(const std::string& program, const std::string& parameters,
                  const std::string& directory) {
  return SpawnDetached(program, SplitCommandLine(parameters), directory);
}

#ifdef KOVA_TEST_HOOKS
void FaultPoint(const char* point) {
  static const char* const wanted = std::getenv("KOVA_FAULT_STOP");
  static std::atomic<bool> passed{false};
  if (wanted && std::strcmp(wanted, point) == 0 && !passed.exchange(true)) ::raise(SIGSTOP);
}
#endif

}  // namespace kova::platform
