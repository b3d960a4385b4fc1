// The lock is a bound abstract Unix socket: the kernel frees the name when the process ends.
// Abstract names carry no permissions, so both ends ask the kernel who the other one is
// (SO_PEERCRED) and deal only with processes of their own user.

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>

#include "platform/instance.h"

namespace kova::platform {
namespace {

// Longer texts are no message of ours.
constexpr std::size_t kMaxMessage = 4096;
// Senders waiting to be read at once; more are turned away.
constexpr std::size_t kMaxPending = 8;
// A sender writes its few bytes and closes; one that has not done so by then is dropped.
constexpr guint kSenderTimeoutMs = 1000;

// The abstract socket address of a lock. Long names are folded into a hash so the address
// always fits.
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

// Whether the process at the other end of a connected socket runs as this process's user.
bool PeerIsSameUser(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred &&
         cred.uid == ::getuid();
}

// A waiting connection, not inherited by children and not blocking; -1 when none is waiting.
int Accept(int listener) {
#ifdef KOVA_HAVE_ACCEPT4
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
#else
  const int fd = ::accept(listener, nullptr, nullptr);
  if (fd >= 0) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return fd;
#endif
}

enum class TConnect { Connected, NobodyListens, Failed };

// Connects to the lock `name` without ever blocking for long: a full backlog is retried for a
// moment, a bound socket that does not listen counts as nobody listening.
TConnect ConnectTo(const std::string& name, int& fd) {
  fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return TConnect::Failed;
  sockaddr_un addr{};
  const socklen_t len = AddressOf(name, addr);
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) return TConnect::Connected;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) break;
    ::usleep(50000);
  }
  const TConnect result = errno == ECONNREFUSED ? TConnect::NobodyListens : TConnect::Failed;
  ::close(fd);
  fd = -1;
  return result;
}

}  // namespace

struct TInstanceLock::TState {
  struct TSender {
    TState* Owner = nullptr;
    int Fd = -1;
    std::string Data;
    guint Watch = 0;
    guint Timer = 0;
  };

  int Fd = -1;
  guint Watch = 0;
  std::vector<std::string> Accepted;
  std::function<void(const std::string&)> Handler;
  std::list<TSender> Senders;

  ~TState() {
    while (!Senders.empty()) Drop(&Senders.front());
    if (Watch) g_source_remove(Watch);
    if (Fd >= 0) ::close(Fd);
  }

  void Drop(TSender* sender) {
    if (sender->Watch) g_source_remove(sender->Watch);
    if (sender->Timer) g_source_remove(sender->Timer);
    ::close(sender->Fd);
    Senders.remove_if([sender](const TSender& s) { return &s == sender; });
  }

  static gboolean Acceptable(gint, GIOCondition, gpointer data) {
    auto* state = static_cast<TState*>(data);
    for (;;) {
      const int client = Accept(state->Fd);
      if (client < 0) {
        if (errno == EINTR) continue;
        break;  // EAGAIN: nothing more waiting
      }
      if (!PeerIsSameUser(client) || state->Senders.size() >= kMaxPending) {
        ::close(client);
        continue;
      }
      TSender& sender = state->Senders.emplace_back();
      sender.Owner = state;
      sender.Fd = client;
      sender.Watch = g_unix_fd_add(client, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                   Readable, &sender);
      sender.Timer = g_timeout_add(kSenderTimeoutMs, TimedOut, &sender);
    }
    return G_SOURCE_CONTINUE;
  }

  static gboolean Readable(gint, GIOCondition, gpointer data) {
    auto* sender = static_cast<TSender*>(data);
    TState* state = sender->Owner;
    char buffer[512];
    for (;;) {
      const ssize_t n = ::read(sender->Fd, buffer, sizeof buffer);
      if (n > 0) {
        sender->Data.append(buffer, static_cast<std::size_t>(n));
        if (sender->Data.size() <= kMaxMessage) continue;
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        return G_SOURCE_CONTINUE;  // the rest comes later
      }
      break;  // the end of the message, an error, or too long
    }
    const std::string message = sender->Data.size() <= kMaxMessage ? sender->Data : std::string();
    sender->Watch = 0;  // this source ends by its return value
    state->Drop(sender);
    const bool known =
        std::find(state->Accepted.begin(), state->Accepted.end(), message) != state->Accepted.end();
    // The handler comes last: it may release the lock and with it this state.
    if (known && state->Handler) state->Handler(message);
    return G_SOURCE_REMOVE;
  }

  static gboolean TimedOut(gpointer data) {
    auto* sender = static_cast<TSender*>(data);
    sender->Timer = 0;
    sender->Owner->Drop(sender);
    return G_SOURCE_REMOVE;
  }
};

TInstanceLock::TInstanceLock(std::unique_ptr<TState> state) : state_(std::move(state)) {}

TInstanceLock::~TInstanceLock() = default;

std::unique_ptr<TInstanceLock> TInstanceLock::TryAcquire(const std::string& name, TResult& result) {
  result = TResult::Failed;
  if (name.empty()) return nullptr;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    sockaddr_un addr{};
    const socklen_t len = AddressOf(name, addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
      if (::listen(fd, 16) != 0) {
        ::close(fd);
        return nullptr;
      }
      auto state = std::make_unique<TState>();
      state->Fd = fd;
      result = TResult::Acquired;
      return std::unique_ptr<TInstanceLock>(new TInstanceLock(std::move(state)));
    }
    const int error = errno;
    ::close(fd);
    if (error != EADDRINUSE) return nullptr;
    // Somebody has the name: it is held only when a process of this user listens there. A name
    // taken by another user leaves this one without a lock rather than obeying a stranger.
    int peer = -1;
    const TConnect connected = ConnectTo(name, peer);
    if (connected == TConnect::Connected) {
      const bool ours = PeerIsSameUser(peer);
      ::close(peer);
      if (ours) result = TResult::HeldElsewhere;
      return nullptr;
    }
    if (connected == TConnect::Failed) return nullptr;
    // Bound but not listening: a holder between its two calls, or gone since; look again.
    ::usleep(20000);
  }
  return nullptr;
}

void TInstanceLock::ServeMessages(std::vector<std::string> accepted,
                                  std::function<void(const std::string&)> handler) {
  state_->Accepted = std::move(accepted);
  state_->Handler = std::move(handler);
  if (state_->Handler && !state_->Watch) {
    state_->Watch = g_unix_fd_add(state_->Fd, G_IO_IN, TState::Acceptable, state_.get());
  } else if (!state_->Handler && state_->Watch) {
    g_source_remove(state_->Watch);
    state_->Watch = 0;
    while (!state_->Senders.empty()) state_->Drop(&state_->Senders.front());
  }
}

bool SendInstanceMessage(const std::string& name, const std::string& message) {
  if (name.empty()) return false;
  int fd = -1;
  if (ConnectTo(name, fd) != TConnect::Connected) return false;
  // The message goes only to a holder of this user: another user may have taken the name.
  bool ok = PeerIsSameUser(fd);
  std::size_t sent = 0;
  while (ok && sent < message.size()) {
    const ssize_t n = ::send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) ok = false;
      continue;
    }
    if (n <= 0)
      ok = false;
    else
      sent += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return ok;
}

unsigned RegisterMessage(const std::string& name) {
  static std::map<std::string, unsigned> ids;
  const auto it = ids.find(name);
  if (it != ids.end()) return it->second;
  const unsigned id = 0xC000u + static_cast<unsigned>(ids.size());
  ids.emplace(name, id);
  return id;
}

}  // namespace kova::platform
