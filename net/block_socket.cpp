// The socket calls of the HTTP client, on BSD sockets.

#include "net/block_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace kova {
namespace {

// Waits are cut into slices so a stop flag set from another thread ends them promptly, and the
// status callback hears of a long wait (HR_Wait) and can ask for a stop.
constexpr int kSliceMs = 200;

int MapErrno(int e) {
  switch (e) {
    case ECONNRESET:
    case EPIPE: return kErrClosed;
    case ETIMEDOUT: return kErrTimeout;
    case ECONNREFUSED: return kErrConnRefused;
    case ECONNABORTED: return kErrStopped;
    case ENETUNREACH: return 10051;
    case EHOSTUNREACH: return 10065;
    case EADDRNOTAVAIL: return 10049;
    default: return e == 0 ? 0 : 10000 + e;  // outside the codes the client acts on
  }
}

}  // namespace

TTCPBlockSocket::~TTCPBlockSocket() {
  if (fd_ >= 0) ::close(fd_);
}

void TTCPBlockSocket::DoStatus(THookSocketReason reason, const std::string& value) {
  if (OnStatus) OnStatus(*this, reason, value);
}

void TTCPBlockSocket::SetError(int code) {
  lastError_ = code;
  if (code != 0 && code != 10035 && code != 10036) DoStatus(HR_Error, LastErrorDesc() + "," + std::to_string(code));
}

std::string TTCPBlockSocket::LastErrorDesc() const {
  switch (lastError_) {
    case 0: return "OK";
    case kErrStopped: return "Software caused connection abort";
    case kErrClosed: return "Connection reset by peer";
    case kErrTimeout: return "Connection timed out";
    case kErrConnRefused: return "Connection refused";
    case kErrHostNotFound: return "Host not found";
    case kErrTooLong: return "Line too long";
    case kErrNoTls: return "SSL/TLS support is not compiled!";
    case kErrBadAddress: return "Invalid address";
    default:
      if (lastError_ > 10000 && lastError_ < 11000) return std::strerror(lastError_ - 10000);
      return "Socket error";
  }
}

bool TTCPBlockSocket::CheckStop() {
  if (!StopFlag.exchange(false)) return false;
  SetError(kErrStopped);
  return true;
}

void TTCPBlockSocket::CloseSocket() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    DoStatus(HR_SocketClose, "");
  }
  buffer_.clear();
  start_ = 0;
  pendingSkip_ = 0;
  closedCleanly_ = false;
}

void TTCPBlockSocket::Connect(const std::string& host, const std::string& port, int timeoutMs) {
  CloseSocket();
  lastError_ = 0;
  if (CheckStop()) return;
  DoStatus(HR_ResolvingBegin, host + ":" + port);
  addrinfo* found = Resolve(host, port, timeoutMs);
  if (!found) {
    if (lastError_ == 0) SetError(kErrHostNotFound);
    return;
  }
  // IPv4 first when a name has both.
  const addrinfo* chosen = found;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      chosen = a;
      break;
    }
  }
  DoStatus(HR_ResolvingEnd, host);
  fd_ = ::socket(chosen->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    SetError(MapErrno(errno));
    ::freeaddrinfo(found);
    return;
  }
  DoStatus(HR_SocketCreate, "");
  const int size = static_cast<int>(BufferSize);
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  int rc = ::connect(fd_, chosen->ai_addr, chosen->ai_addrlen);
  ::freeaddrinfo(found);
  if (rc != 0 && errno != EINPROGRESS) {
    SetError(MapErrno(errno));
    CloseSocket();
    return;
  }
  if (rc != 0) {
    // The connect gets the same limit as a wait for data.
    pollfd p{fd_, POLLOUT, 0};
    int waited = 0;
    for (;;) {
      if (CheckStop()) {
        CloseSocket();
        return;
      }
      rc = ::poll(&p, 1, kSliceMs);
      if (rc > 0) break;
      if (rc < 0 && errno != EINTR) {
        SetError(MapErrno(errno));
        CloseSocket();
        return;
      }
      // A server that never answers the connection holds no cancel back.
      DoStatus(HR_Wait, "");
      waited += kSliceMs;
      if (timeoutMs >= 0 && waited >= timeoutMs) {
        SetError(kErrTimeout);
        CloseSocket();
        return;
      }
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      SetError(MapErrno(err));
      CloseSocket();
      return;
    }
  }
  const int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  DoStatus(HR_Connect, host + ":" + port);
}

addrinfo* TTCPBlockSocket::Resolve(const std::string& host, const std::string& port, int timeoutMs) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  // A numeric address needs no lookup: the common case of every archive of a run.
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) == 0) return found;
  // A name is looked up on a thread of its own, so that a cancel is heard while a name server
  // takes its time; a lookup given up on frees its own result when it ends.
  struct TLookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    addrinfo* result = nullptr;
  };
  auto lookup = std::make_shared<TLookup>();
  try {
    std::thread([lookup, host, port] {
      addrinfo request{};
      request.ai_socktype = SOCK_STREAM;
      request.ai_family = AF_UNSPEC;
      addrinfo* result = nullptr;
      if (::getaddrinfo(host.c_str(), port.c_str(), &request, &result) != 0) result = nullptr;
      std::lock_guard<std::mutex> lock(lookup->mutex);
      if (lookup->abandoned) {
        if (result) ::freeaddrinfo(result);
      } else {
        lookup->result = result;
      }
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    SetError(kErrHostNotFound);
    return nullptr;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(lookup->mutex);
  while (!lookup->finished) {
    lookup->done.wait_for(lock, std::chrono::milliseconds(kSliceMs));
    if (lookup->finished) break;
    lock.unlock();
    DoStatus(HR_Wait, "");
    const bool stop = CheckStop();
    const bool late = timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline;
    if (!stop && late) SetError(kErrTimeout);
    lock.lock();
    if (stop || late) {
      if (!lookup->finished) {
        lookup->abandoned = true;
        return nullptr;
      }
      if (lookup->result) ::freeaddrinfo(lookup->result);
      return nullptr;
    }
  }
  return lookup->result;
}

void TTCPBlockSocket::SendString(const std::string& data) {
  lastError_ = 0;
  if (CheckStop()) return;
  if (fd_ < 0) {
    SetError(kErrClosed);
    return;
  }
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      DoStatus(HR_WriteCount, std::to_string(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, kSliceMs);
      if (CheckStop()) return;
      continue;
    }
    SetError(MapErrno(errno));
    return;
  }
}

bool TTCPBlockSocket::WaitReadable(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (CheckStop()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      SetError(kErrTimeout);
      return false;
    }
    pollfd p{fd_, POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kSliceMs)));
    if (rc > 0) {
      DoStatus(HR_CanRead, "");
      return true;
    }
    if (rc < 0 && errno != EINTR) {
      SetError(MapErrno(errno));
      return false;
    }
    if (rc == 0) DoStatus(HR_Wait, "");
  }
}

bool TTCPBlockSocket::Fill(int timeoutMs) {
  if (fd_ < 0) {
    SetError(kErrClosed);
    return false;
  }
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  for (;;) {
    if (!WaitReadable(timeoutMs)) return false;
    if (chunk_.Size() == 0) chunk_.Resize(65536);
    char* chunk = chunk_.Chars();
    const ssize_t n = ::recv(fd_, chunk, chunk_.Size(), 0);
    if (n > 0) {
      DoStatus(HR_ReadCount, std::to_string(n));
      if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
    if (n == 0) {
      closedCleanly_ = true;
      SetError(kErrClosed);
      return false;
    }
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    SetError(MapErrno(errno));
    return false;
  }
}

void TTCPBlockSocket::DropPendingLineEnd(bool lineRead) {
  if (!pendingSkip_ || start_ >= buffer_.size()) return;
  // A CR LF pair split between two packets is one line end; LF CR only counts between lines.
  if (buffer_[start_] == pendingSkip_ && (pendingSkip_ == '\n' || lineRead)) ++start_;
  pendingSkip_ = 0;
}

std::string TTCPBlockSocket::RecvString(int timeoutMs) {
  lastError_ = 0;
  if (CheckStop()) return {};
  std::size_t scanned = 0;
  for (;;) {
    DropPendingLineEnd(true);
    const std::size_t avail = buffer_.size() - start_;
    for (std::size_t i = scanned; i < avail; ++i) {
      const char c = buffer_[start_ + i];
      if (c != '\r' && c != '\n') continue;
      std::string line = buffer_.substr(start_, i);
      start_ += i + 1;
      const char other = c == '\r' ? '\n' : '\r';
      if (start_ < buffer_.size()) {
        if (buffer_[start_] == other) ++start_;
      } else {
        pendingSkip_ = other;
      }
      return line;
    }
    scanned = avail;
    if (MaxLineLength > 0 && avail > MaxLineLength) {
      SetError(kErrTooLong);
      return {};
    }
    if (!Fill(timeoutMs)) return {};
  }
}

std::string TTCPBlockSocket::RecvPacket(int timeoutMs) {
  lastError_ = 0;
  if (CheckStop()) return {};
  DropPendingLineEnd(false);
  if (start_ >= buffer_.size()) {
    if (!Fill(timeoutMs)) return {};
    DropPendingLineEnd(false);
  }
  std::string out = buffer_.substr(start_);
  buffer_.clear();
  start_ = 0;
  return out;
}

std::string TTCPBlockSocket::RecvBufferStr(std::size_t length, int timeoutMs) {
  lastError_ = 0;
  if (CheckStop()) return {};
  DropPendingLineEnd(false);
  std::string out;
  out.reserve(length);
  while (out.size() < length) {
    if (start_ >= buffer_.size()) {
      if (!Fill(timeoutMs)) return out;
      DropPendingLineEnd(false);
      continue;
    }
    const std::size_t take = std::min(length - out.size(), buffer_.size() - start_);
    out.append(buffer_, start_, take);
    start_ += take;
  }
  return out;
}

bool TTCPBlockSocket::CanRead(int timeoutMs) {
  if (start_ < buffer_.size()) return true;
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace kova
