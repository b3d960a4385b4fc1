#pragma once
// A blocking TCP client socket: the one place that makes socket calls. Errors never raise; they
// are kept as the last-error code and reported through the status callback. Every wait for data
// is limited on its own, and a stop flag set from another thread fails the next operation.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/tls.h"
#include "support/aligned_buffer.h"

namespace kova {

enum THookSocketReason {
  HR_ResolvingBegin,
  HR_ResolvingEnd,
  HR_SocketCreate,
  HR_SocketClose,
  HR_Bind,
  HR_Connect,
  HR_CanRead,
  HR_CanWrite,
  HR_Listen,
  HR_Accept,
  HR_ReadCount,
  HR_WriteCount,
  HR_Wait,
  HR_Error,
};

class TTCPBlockSocket;
using THookSocketStatus = std::function<void(TTCPBlockSocket& sender, THookSocketReason reason,
                                             const std::string& value)>;

// Error codes the client acts on: the Windows Sockets numbers, on every platform (the platform's
// socket gives its errors in the same space).
enum : int {
  kErrStopped = platform::kSockConnAborted,  // the stop flag ended the operation
  kErrClosed = platform::kSockConnReset,     // the peer closed or reset the connection
  kErrTimeout = platform::kSockTimedOut,     // a wait passed its limit
  kErrConnRefused = platform::kSockConnRefused,
  kErrHostNotFound = platform::kSockHostNotFound,
  kErrTooLong = 10040,    // a line longer than the limit
  kErrNoTls = 10091,      // the secure layer is not available
  kErrTls = 10200,        // the secure session failed (handshake, certificate, a broken record)
  kErrProxy = 10201,      // the proxy refused the connection, or is of a kind not supported
  kErrProxyAuth = 10202,  // the proxy asked for credentials, or refused the ones sent (407)
  kErrHttp2 = 10203,      // the server broke HTTP/2, or reset the request's stream
  kErrBadAddress =
      platform::kSockInvalid,  // an address that cannot be sent (a control byte, a bad port)
};

class TTCPBlockSocket {
 public:
  TTCPBlockSocket() = default;
  ~TTCPBlockSocket();
  TTCPBlockSocket(const TTCPBlockSocket&) = delete;
  TTCPBlockSocket& operator=(const TTCPBlockSocket&) = delete;

  // Resolves `host` (IPv4 preferred; numeric IPv6 taken as it is) and connects within
  // `timeoutMs`.
  void Connect(const std::string& host, const std::string& port, int timeoutMs);
  void CloseSocket();
  bool IsOpen() const { return socket_.IsOpen(); }
  // Makes the connected socket a TLS session with `host`, the server verified; false with the
  // error set (and the socket closed) when that fails. Every later send and receive goes
  // through the session, until the socket is closed.
  // `protocols`: the application protocols offered, the preferred first.
  bool StartTls(const std::string& host, int timeoutMs,
                const std::vector<std::string>& protocols = {});
  bool IsSecure() const { return tls_ != nullptr; }
  // The application protocol the server chose for the secure session ("h2"); empty when none.
  std::string Negotiated() const { return tls_ ? tls_->Protocol() : std::string(); }
  // Exchanges the open connection (with what was received of it and its secure session) with
  // `other`'s; the stop flag, the status callback and the limits stay with each object.
  void SwapConnection(TTCPBlockSocket& other) noexcept;

  void SendString(const std::string& data);
  // One line; the line end (CR LF, LF CR, CR or LF) is dropped. Longer than MaxLineLength fails.
  std::string RecvString(int timeoutMs);
  // Whatever is buffered, or the next packet.
  std::string RecvPacket(int timeoutMs);
  // Exactly `length` bytes, or fewer with an error set.
  std::string RecvBufferStr(std::size_t length, int timeoutMs);
  // Whether what arrives next, after at most a few line ends, begins with `prefix` (ASCII letters
  // in either case). It reads only as far as it must: false as soon as a byte differs, or with
  // the error set when the data ends or the wait passes its limit first. Nothing is consumed
  // but those line ends.
  bool NextStartsWith(const std::string& prefix, int timeoutMs);
  // True when data can be read now or within `timeoutMs`.
  bool CanRead(int timeoutMs);
  // Waits up to `timeoutMs` until received data is buffered or the connection itself has bytes
  // (or its end) to read, without touching the secure session: a thread may wait so while
  // another sends, as long as they take turns for everything else.
  bool WaitForData(int timeoutMs);
  // What is buffered, or what the connection has now, decrypted; never waits. Empty when nothing
  // is there yet (a part of a secure record, a session ticket); at the end or on a failure
  // empty with the error set.
  std::string RecvNow();

  int LastError() const { return lastError_; }
  // The last handshake failed because the server's certificate was not trusted.
  bool Untrusted() const { return untrusted_; }
  // Whether the peer ended the connection in order (as opposed to resetting it).
  bool ClosedCleanly() const { return closedCleanly_; }
  std::string LastErrorDesc() const;
  void ResetLastError() { lastError_ = 0; }
  // Marks an error produced by a layer above (for example the missing secure layer), with what
  // LastErrorDesc says of it when that is more than the code's own words.
  void SetError(int code);
  void SetError(int code, std::string detail);

  std::atomic<bool> StopFlag{false};
  THookSocketStatus OnStatus;
  std::size_t MaxLineLength = 0;  // 0: no limit
  std::size_t BufferSize = 65536;

 private:
  void DoStatus(THookSocketReason reason, const std::string& value);
  bool CheckStop();
  // Waits until readable; false with the error set on time-out, stop or failure.
  bool WaitReadable(int timeoutMs);
  // Receives once into the buffer; false with the error set.
  bool Fill(int timeoutMs);
  // Sends all of `data` as it is (below the secure layer); false with the error set.
  bool SendRaw(const std::string& data);
  // Receives what the socket has into chunk_; the count, 0 for the end, or -1 with the error
  // set. Would-block is retried after a wait.
  long long ReceiveRaw(int timeoutMs);
  // Passes what the session must send; false with the error set.
  bool FlushTls();
  void DropPendingLineEnd(bool lineRead);
  // The address of `host`; false with the error set (a stop or the time-out included).
  bool Resolve(const std::string& host, const std::string& port, int timeoutMs,
               platform::TSocketAddress& address);

  platform::TTcpSocket socket_;
  int lastError_ = 0;
  std::string buffer_;
  std::size_t start_ = 0;  // first unread byte of buffer_
  char pendingSkip_ = 0;   // the second byte of a line end that may arrive in the next packet
  bool closedCleanly_ = false;
  TAlignedBuffer chunk_;  // what one receive brings in
  std::unique_ptr<platform::TTlsClient> tls_;
  std::string detail_;  // what went wrong, beyond the code (the TLS or HTTP/2 failure)
  bool untrusted_ = false;
};

}  // namespace kova
