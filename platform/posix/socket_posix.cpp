// TCP client sockets on BSD sockets; errno becomes the Windows Sockets number in one table.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/socket.h"

namespace kova::platform {
namespace {

int FromErrno(int e) {
  switch (e) {
    case 0:
      return 0;
    case EWOULDBLOCK:
      return kSockWouldBlock;
    case EINPROGRESS:
      return kSockInProgress;
    case EINVAL:
      return kSockInvalid;
    case EADDRNOTAVAIL:
      return kSockAddrNotAvail;
    case ENETUNREACH:
      return kSockNetUnreach;
    case ECONNABORTED:
      return kSockConnAborted;
    case ECONNRESET:
    case EPIPE:
      return kSockConnReset;
    case ETIMEDOUT:
      return kSockTimedOut;
    case ECONNREFUSED:
      return kSockConnRefused;
    case EHOSTUNREACH:
      return kSockHostUnreach;
    default:
      return kSockOther;
  }
}

int Fd(long long handle) {
  return static_cast<int>(handle);
}

// 1 when the event came, 0 on time-out, or a negated error.
int WaitFor(int fd, short events, int milliseconds) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, milliseconds);
    if (rc > 0) return 1;
    if (rc == 0) return 0;
    if (errno != EINTR) return -FromErrno(errno);
  }
}

}  // namespace

bool StartSockets() {
  return true;
}

int ResolveAddress(const std::string& host, const std::string& port, bool numericOnly,
                   TSocketAddress& address) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  if (numericOnly) hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
    return kSockHostNotFound;
  const addrinfo* chosen = found;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      chosen = a;
      break;
    }
  }
  int result = kSockHostNotFound;
  if (chosen->ai_addrlen <= sizeof address.Bytes) {
    address.Family = chosen->ai_family;
    address.Length = static_cast<unsigned>(chosen->ai_addrlen);
    std::memcpy(address.Bytes, chosen->ai_addr, chosen->ai_addrlen);
    result = 0;
  }
  ::freeaddrinfo(found);
  return result;
}

int TTcpSocket::BeginConnect(const TSocketAddress& address, int bufferSize) {
  Close();
  const int fd = ::socket(address.Family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FromErrno(errno);
  handle_ = fd;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(address.Bytes), address.Length) == 0)
    return 0;
  return FromErrno(errno);
}

int TTcpSocket::WaitConnected(int milliseconds) {
  const int ready = WaitFor(Fd(handle_), POLLOUT, milliseconds);
  if (ready < 0) return -ready;
  if (ready == 0) return kSockInProgress;
  int err = 0;
  socklen_t len = sizeof err;
  ::getsockopt(Fd(handle_), SOL_SOCKET, SO_ERROR, &err, &len);
  return FromErrno(err);
}

int TTcpSocket::WaitReadable(int milliseconds) {
  return WaitFor(Fd(handle_), POLLIN, milliseconds);
}

int TTcpSocket::WaitWritable(int milliseconds) {
  return WaitFor(Fd(handle_), POLLOUT, milliseconds);
}

int TTcpSocket::Receive(void* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t n = ::recv(Fd(handle_), buffer, size, 0);
    if (n >= 0) {
      got = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno != EINTR) return FromErrno(errno);
  }
}

int TTcpSocket::Send(const void* data, std::size_t size, std::size_t& sent) {
  sent = 0;
  for (;;) {
    const ssize_t n = ::send(Fd(handle_), data, size, MSG_NOSIGNAL);
    if (n >= 0) {
      sent = static_cast<std::size_t>(n);
      return 0;
    }
    if (errno != EINTR) return FromErrno(errno);
  }
}

void TTcpSocket::Close() {
  if (handle_ == kNone) return;
  ::close(Fd(handle_));
  handle_ = kNone;
}

}  // namespace kova::platform
