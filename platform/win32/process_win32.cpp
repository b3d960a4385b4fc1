// Processes: a Toolhelp snapshot to find a program by its file, CreateProcessW to start one.
// Names and command lines are UTF-8 here and UTF-16 to the system.

#include <windows.h>
// After windows.h:
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"
#include "platform/win32/wide_path.h"
#include "support/text.h"

namespace kova::platform {
namespace {

// A path with "/" separators and without letter case, for comparing two of them.
std::string Comparable(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return UpperCaseAscii(path);
}

}  // namespace

int FindProcessByExecutable(const std::string& path) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const std::string wanted = Comparable(path);
  int found = 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  // The first entry is the system's idle process: it is not looked at.
  if (Process32First(snapshot, &entry)) {
    while (Process32Next(snapshot, &entry)) {
      // The limited right and QueryFullProcessImageNameW see 64-bit and protected processes
      // too, which a 32-bit program cannot read the modules of; the module name is the
      // fall-back for systems without them.
      wchar_t module[MAX_PATH * 4];
      DWORD n = 0;
      if (HANDLE process =
              OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID)) {
        DWORD size = MAX_PATH * 4;
        if (QueryFullProcessImageNameW(process, 0, module, &size)) n = size;
        CloseHandle(process);
      }
      if (n == 0) {
        HANDLE process =
            OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
        if (!process) continue;
        n = GetModuleFileNameExW(process, nullptr, module, MAX_PATH);
        CloseHandle(process);
      }
      // With several matches, the last one enumerated wins.
      if (n > 0 && Comparable(Utf8(module, n)) == wanted)
        found = static_cast<int>(entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
  return found;
}

std::vector<std::string> ConsoleArguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide && i < count; ++i) args.push_back(Utf8(wide[i]));
  if (wide) LocalFree(wide);
  return args;
}

std::vector<std::string> ProgramParameters(int, char**) {
  // The command line as the system holds it, split by the program's own rules: the program's
  // name first (quoted or up to the first blank), then the parameters.
  const std::string line = Utf8(GetCommandLineW());
  std::size_t p = 0;
  if (!line.empty() && line[0] == '"') {
    p = line.find('"', 1);
    p = p == std::string::npos ? line.size() : p + 1;
  } else {
    while (p < line.size() && static_cast<unsigned char>(line[p]) > ' ') ++p;
  }
  return SplitCommandLine(line.substr(p));
}

namespace {
thread_local int lastStartError = 0;
}  // namespace

int LastStartError() {
  return lastStartError;
}

bool StartProgram(const std::string& program, const std::string& parameters,
                  const std::string& directory) {
  std::string commandLine = "\"" + program + "\"";
  if (!parameters.empty()) commandLine += " " + parameters;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info{};
  std::wstring wideLine = Wide(commandLine);
  const std::wstring wideDirectory = Wide(directory);
  if (!CreateProcessW(Wide(program).c_str(), wideLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.empty() ? nullptr : wideDirectory.c_str(), &startup, &info)) {
    lastStartError = static_cast<int>(GetLastError());
    return false;
  }
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return true;
}

bool SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& directory) {
  std::string parameters;
  for (const std::string& arg : args) {
    if (!parameters.empty()) parameters += ' ';
    parameters += "\"" + arg + "\"";
  }
  return StartProgram(program, parameters, directory);
}

#ifdef KOVA_TEST_HOOKS
void FaultPoint(const char* point) {
  // A Windows process cannot stop itself for another to resume it; it waits here until the
  // test kills it.
  static const char* const wanted = std::getenv("KOVA_FAULT_STOP");
  static std::atomic<bool> passed{false};
  if (wanted && std::strcmp(wanted, point) == 0 && !passed.exchange(true)) {
    for (;;) Sleep(INFINITE);
  }
}
#endif

}  // namespace kova::platform
