#include <dirent.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "support/text.h"

extern char** environ;

namespace kova::platform {

int FindProcessByExecutable(const std::string& path) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  int found = 0;
  std::vector<char> buffer(4096);
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    const std::string link = std::string("/proc/") + entry->d_name + "/exe";
    const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size() - 1);
    if (n <= 0) continue;  // a process we may not inspect, or a kernel thread
    if (SameTextAscii(std::string_view(buffer.data(), static_cast<std::size_t>(n)), path)) {
      found = static_cast<int>(pid);
    }
  }
  ::closedir(proc);
  return found;
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
  if (rc != 0) return false;
  // The caller never waits for the child; reaping it here keeps it from lingering as a zombie.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

void FaultPoint(const char* point) {
  static const char* const wanted = std::getenv("KOVA_FAULT_STOP");
  static std::atomic<bool> passed{false};
  if (wanted && std::strcmp(wanted, point) == 0 && !passed.exchange(true)) ::raise(SIGSTOP);
}

}  // namespace kova::platform
