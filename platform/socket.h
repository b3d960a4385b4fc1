#pragma once
// A TCP client socket: the system calls the HTTP client needs, and nothing more.
//
// Every backend reports errors in one space, the Windows Sockets numbers (10054 for a reset
// connection, 10060 for a time-out, 11001 for a name not found, ...), whatever the system's own
// codes are. No call raises; no call blocks longer than the time it is given, name lookup
// aside, which blocks as long as the system's resolver does (callers run it on a thread of its
// own when it must be cancellable).

#include <cstddef>
#include <string>

namespace kova::platform {

// Error numbers, as Windows Sockets gives them.
enum : int {
  kSockInvalid = 10022,
  kSockWouldBlock = 10035,
  kSockInProgress = 10036,
  kSockAddrNotAvail = 10049,
  kSockNetUnreach = 10051,
  kSockConnAborted = 10053,
  kSockConnReset = 10054,
  kSockTimedOut = 10060,
  kSockConnRefused = 10061,
  kSockHostUnreach = 10065,
  kSockHostNotFound = 11001,
  kSockOther = 10004,  // any other failure of the system
};

// One resolved address, as connect needs it.
struct TSocketAddress {
  int Family = 0;
  unsigned Length = 0;
  alignas(8) unsigned char Bytes[128] = {};
};

// Resolves `host` and `port` (IPv4 preferred when a name has both); 0 or an error number.
// With `numericOnly` only a numeric address is taken, without asking any name server.
int ResolveAddress(const std::string& host, const std::string& port, bool numericOnly,
                   TSocketAddress& address);

// The socket library is ready for use (Windows Sockets 2.2 on Windows); safe to call often.
bool StartSockets();

class TTcpSocket {
 public:
  TTcpSocket() = default;
  ~TTcpSocket() { Close(); }
  TTcpSocket(const TTcpSocket&) = delete;
  TTcpSocket& operator=(const TTcpSocket&) = delete;

  // Creates a non-blocking socket with the given buffer sizes and begins connecting: 0 when
  // connected at once, kSockInProgress while the connection is being made, or an error.
  int BeginConnect(const TSocketAddress& address, int bufferSize);
  // Waits up to `milliseconds` for the connection: 0 connected, kSockInProgress still waiting,
  // or the error that ended it.
  int WaitConnected(int milliseconds);
  // Waits up to `milliseconds` until data (or the end) can be read: 1 ready, 0 not yet, or an
  // error number (negated: -10054).
  int WaitReadable(int milliseconds);
  // Waits up to `milliseconds` until data can be sent: as WaitReadable.
  int WaitWritable(int milliseconds);
  // Receives what is there: 0 and `got` > 0 for data, 0 and `got` 0 for an orderly end of the
  // connection, kSockWouldBlock when nothing is waiting, or an error.
  int Receive(void* buffer, std::size_t size, std::size_t& got);
  // Sends what the system takes now: 0 with `sent`, kSockWouldBlock, or an error.
  int Send(const void* data, std::size_t size, std::size_t& sent);
  void Close();
  bool IsOpen() const { return handle_ != kNone; }
  // Exchanges the connections of two sockets (a kept connection handed to another client).
  void Swap(TTcpSocket& other) noexcept {
    const long long mine = handle_;
    handle_ = other.handle_;
    other.handle_ = mine;
  }

 private:
  static constexpr long long kNone = -1;
  long long handle_ = kNone;  // a descriptor or a SOCKET, whichever the system gives
};

}  // namespace kova::platform
