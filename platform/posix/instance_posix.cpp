#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/instance.h"

namespace kova::platform {
namespace {

constexpr std::size_t kMaxMessage = 4096;

// The abstract socket address of a lock: per user, so two players on one machine do not meet.
// Long names are folded into a hash so the address always fits.
socklen_t AddressOf(const std::string& name, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::string id = "kovaupdater." + std::to_string(::getuid()) + ".";
  if (id.size() + name.size() + 1 > sizeof addr.sun_path) {
    std::uint64_t h = 1469598103934665603ull;
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    id += "#" + std::to_string(h);
  } else {
    id += name;
  }
  std::memcpy(addr.sun_path + 1, id.data(), id.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + id.size());
}

}  // namespace

std::unique_ptr<TInstanceLock> TInstanceLock::TryAcquire(const std::string& name, TResult& result) {
  result = TResult::Failed;
  if (name.empty()) return nullptr;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  sockaddr_un addr{};
  const socklen_t len = AddressOf(name, addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    result = errno == EADDRINUSE ? TResult::HeldElsewhere : TResult::Failed;
    ::close(fd);
    return nullptr;
  }
  if (::listen(fd, 16) != 0) {
    ::close(fd);
    return nullptr;
  }
  result = TResult::Acquired;
  return std::unique_ptr<TInstanceLock>(new TInstanceLock(fd));
}

TInstanceLock::~TInstanceLock() { ::close(fd_); }

std::vector<std::string> TInstanceLock::TakeMessages() {
  std::vector<std::string> messages;
  for (;;) {
    const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR) continue;
      break;  // EAGAIN: nothing more waiting
    }
    // A sender writes its name and closes; one that stalls is dropped after a short wait so it
    // cannot freeze the window.
    std::string message;
    char buffer[512];
    for (;;) {
      pollfd p{client, POLLIN, 0};
      if (::poll(&p, 1, 500) <= 0) break;
      const ssize_t n = ::read(client, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      message.append(buffer, static_cast<std::size_t>(n));
      if (message.size() > kMaxMessage) break;
    }
    ::close(client);
    if (!message.empty() && message.size() <= kMaxMessage) messages.push_back(message);
  }
  return messages;
}

bool TInstanceLock::WaitForMessage(int milliseconds) const {
  pollfd p{fd_, POLLIN, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, milliseconds);
    if (rc < 0 && errno == EINTR) continue;
    return rc > 0;
  }
}

bool SendInstanceMessage(const std::string& name, const std::string& message) {
  if (name.empty()) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  const socklen_t len = AddressOf(name, addr);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
  std::size_t sent = 0;
  while (ok && sent < message.size()) {
    const ssize_t n = ::send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else sent += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return ok;
}

unsigned RegisterWindowMessage(const std::string& name) {
  static std::map<std::string, unsigned> ids;
  const auto it = ids.find(name);
  if (it != ids.end()) return it->second;
  const unsigned id = 0xC000u + static_cast<unsigned>(ids.size());
  ids.emplace(name, id);
  return id;
}

}  // namespace kova::platform
