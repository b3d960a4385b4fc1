#pragma once
// Runs a real program for a test: its standard output comes back through a pipe, and the test
// can wait for a line or for the end with a time limit.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kova::test {

class TChild {
 public:
  // With `stdinPipe` the child's standard input is a pipe that closes when this object goes, so
  // a server that ends on end of input cannot outlive its test. With `errorsFile` the child's
  // standard error goes to that file.
  TChild(const std::string& program, const std::vector<std::string>& args,
         const std::string& directory = {}, bool stdinPipe = false,
         const std::string& errorsFile = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    int in[2] = {-1, -1};
    if (stdinPipe && ::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (stdinPipe) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (!errorsFile.empty())
      posix_spawn_file_actions_addopen(&actions, 2, errorsFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    std::vector<std::string> storage{program};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
    if (stdinPipe) {
      ::close(in[0]);
      in_ = in[1];
    }
    if (rc != 0) throw std::runtime_error("cannot start " + program);
  }
  ~TChild() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    if (in_ >= 0) ::close(in_);
  }
  // Asks the process to end (SIGTERM) and waits for it as WaitExit does.
  int Stop(double seconds = 10) {
    if (pid_ > 0 && !exited_) ::kill(pid_, SIGTERM);
    return WaitExit(seconds);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  // Reads output until it contains `text`; false after `seconds` or at the end of output.
  bool WaitForOutput(const std::string& text, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (output_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || !ReadSome(static_cast<int>(left)))
        return output_.find(text) != std::string::npos;
    }
    return true;
  }

  // Waits for the end, reading its output meanwhile so a full pipe never blocks it; returns the
  // exit code, or -1 when it did not end in time.
  int WaitExit(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        while (ReadSome(200)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ReadSome(20);
    }
    return -1;
  }

  bool Running() {
    if (exited_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) exited_ = true;
    return !exited_;
  }

  const std::string& Output() const { return output_; }

 private:
  // Appends what arrives within `milliseconds`; false at the end of output or on time-out.
  bool ReadSome(int milliseconds) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, milliseconds) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

 public:
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
  int out_ = -1;
  int in_ = -1;
  bool exited_ = false;
  std::string output_;
};

// Polls `condition` until it holds or `seconds` pass.
template <class F>
bool Eventually(F condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return condition();
}

}  // namespace kova::test
