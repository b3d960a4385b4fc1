// TCP client sockets on Windows Sockets 2.2, whose error numbers are the space every backend
// uses.

#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers:
#include <windows.h>

#include <cstring>
#include <mutex>

#include "platform/socket.h"

namespace kova::platform {
namespace {

SOCKET Handle(long long handle) {
  return static_cast<SOCKET>(handle);
}

int LastError() {
  const int code = WSAGetLastError();
  return code == 0 ? kSockOther : code;
}

// 1 when the socket is ready, 0 on time-out, or a negated error.
int WaitFor(SOCKET s, bool write, int milliseconds) {
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int rc = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &limit);
  if (rc == SOCKET_ERROR) return -LastError();
  if (rc == 0) return 0;
  return 1;  // a failure shows when the socket is used
}

}  // namespace

bool StartSockets() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

int ResolveAddress(const std::string& host, const std::string& port, bool numericOnly,
                   TSocketAddress& address) {
  if (!StartSockets()) return kSockOther;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = AF_UNSPEC;
  if (numericOnly) hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
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
  freeaddrinfo(found);
  return result;
}

int TTcpSocket::BeginConnect(const TSocketAddress& address, int bufferSize) {
  Close();
  if (!StartSockets()) return kSockOther;
  const SOCKET s = socket(address.Family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return LastError();
  handle_ = static_cast<long long>(s);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferSize),
             sizeof bufferSize);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bufferSize),
             sizeof bufferSize);
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  if (connect(s, reinterpret_cast<const sockaddr*>(address.Bytes),
              static_cast<int>(address.Length)) == 0)
    return 0;
  const int code = LastError();
  return code == WSAEWOULDBLOCK ? kSockInProgress : code;
}

int TTcpSocket::WaitConnected(int milliseconds) {
  const SOCKET s = Handle(handle_);
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int rc = select(0, nullptr, &writable, &failed, &limit);
  if (rc == SOCKET_ERROR) return LastError();
  if (rc == 0) return kSockInProgress;
  if (FD_ISSET(s, &failed)) {
    int error = 0;
    int length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    return error == 0 ? kSockConnRefused : error;
  }
  return 0;
}

int TTcpSocket::WaitReadable(int milliseconds) {
  return WaitFor(Handle(handle_), false, milliseconds);
}

int TTcpSocket::WaitWritable(int milliseconds) {
  return WaitFor(Handle(handle_), true, milliseconds);
}

int TTcpSocket::Receive(void* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  const int n = recv(Handle(handle_), static_cast<char*>(buffer),
                     static_cast<int>(size > 0x40000000 ? 0x40000000 : size), 0);
  if (n == SOCKET_ERROR) return LastError();
  got = static_cast<std::size_t>(n);
  return 0;
}

int TTcpSocket::Send(const void* data, std::size_t size, std::size_t& sent) {
  sent = 0;
  const int n = send(Handle(handle_), static_cast<const char*>(data),
                     static_cast<int>(size > 0x40000000 ? 0x40000000 : size), 0);
  if (n == SOCKET_ERROR) return LastError();
  sent = static_cast<std::size_t>(n);
  return 0;
}

void TTcpSocket::Close() {
  if (handle_ == kNone) return;
  closesocket(Handle(handle_));
  handle_ = kNone;
}

}  // namespace kova::platform
