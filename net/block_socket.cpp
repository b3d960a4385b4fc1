// The HTTP client's socket: buffering, line reading, status events and the stop flag, over the
// platform's TCP socket.

#include "net/block_socket.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace kova {
namespace {

// Waits are cut into slices so a stop flag set from another thread ends them promptly, and the
// status callback hears of a long wait (HR_Wait) and can ask for a stop.
constexpr int kSliceMs = 200;

}  // namespace

TTCPBlockSocket::~TTCPBlockSocket() = default;

void TTCPBlockSocket::DoStatus(THookSocketReason reason, const std::string& value) {
  if (OnStatus) OnStatus(*this, reason, value);
}

void TTCPBlockSocket::SetError(int code) {
  lastError_ = code;
  if (code != 0 && code != 10035 && code != 10036)
    DoStatus(HR_Error, LastErrorDesc() + "," + std::to_string(code));
}

void TTCPBlockSocket::SetError(int code, std::string detail) {
  detail_ = std::move(detail);
  SetError(code);
}

std::string TTCPBlockSocket::LastErrorDesc() const {
  switch (lastError_) {
    case 0:
      return "OK";
    case kErrStopped:
      return "Software caused connection abort";
    case kErrClosed:
      return "Connection reset by peer";
    case kErrTimeout:
      return "Connection timed out";
    case kErrConnRefused:
      return "Connection refused";
    case kErrHostNotFound:
      return "Host not found";
    case kErrTooLong:
      return "Line too long";
    case kErrNoTls:
      return "SSL/TLS support is not compiled!";
    case kErrTls:
      return detail_.empty() ? "TLS failed" : detail_;
    case kErrHttp2:
      return detail_.empty() ? "HTTP/2 failed" : detail_;
    case kErrBadAddress:
      return "Invalid address";
    case kErrProxy:
      return "The proxy refused the connection";
    case kErrProxyAuth:
      return "The proxy asks for authentication";
    case platform::kSockNetUnreach:
      return "Network is unreachable";
    case platform::kSockHostUnreach:
      return "No route to host";
    case platform::kSockAddrNotAvail:
      return "Cannot assign requested address";
    default:
      return "Socket error";
  }
}

bool TTCPBlockSocket::CheckStop() {
  if (!StopFlag.exchange(false)) return false;
  SetError(kErrStopped);
  return true;
}

void TTCPBlockSocket::CloseSocket() {
  if (socket_.IsOpen()) {
    socket_.Close();
    DoStatus(HR_SocketClose, "");
  }
  tls_.reset();
  buffer_.clear();
  start_ = 0;
  pendingSkip_ = 0;
  closedCleanly_ = false;
}

void TTCPBlockSocket::SwapConnection(TTCPBlockSocket& other) noexcept {
  socket_.Swap(other.socket_);
  buffer_.swap(other.buffer_);
  std::swap(start_, other.start_);
  std::swap(pendingSkip_, other.pendingSkip_);
  std::swap(closedCleanly_, other.closedCleanly_);
  tls_.swap(other.tls_);
  detail_.swap(other.detail_);
  std::swap(untrusted_, other.untrusted_);
}

void TTCPBlockSocket::Connect(const std::string& host, const std::string& port, int timeoutMs) {
  CloseSocket();
  lastError_ = 0;
  untrusted_ = false;
  if (CheckStop()) return;
  if (!platform::StartSockets()) {
    SetError(platform::kSockOther);
    return;
  }
  DoStatus(HR_ResolvingBegin, host + ":" + port);
  platform::TSocketAddress address;
  if (!Resolve(host, port, timeoutMs, address)) return;
  DoStatus(HR_ResolvingEnd, host);
  int rc = socket_.BeginConnect(address, static_cast<int>(BufferSize));
  if (socket_.IsOpen()) DoStatus(HR_SocketCreate, "");
  // The connect gets the same limit as a wait for data.
  for (int waited = 0; rc == platform::kSockInProgress || rc == platform::kSockWouldBlock;
       waited += kSliceMs) {
    if (CheckStop()) {
      CloseSocket();
      return;
    }
    if (timeoutMs >= 0 && waited >= timeoutMs) {
      rc = kErrTimeout;
      break;
    }
    rc = socket_.WaitConnected(kSliceMs);
    // A server that never answers the connection holds no cancel back.
    if (rc == platform::kSockInProgress) DoStatus(HR_Wait, "");
  }
  if (rc != 0) {
    SetError(rc);
    CloseSocket();
    return;
  }
  DoStatus(HR_Connect, host + ":" + port);
}

bool TTCPBlockSocket::Resolve(const std::string& host, const std::string& port, int timeoutMs,
                              platform::TSocketAddress& address) {
  // A numeric address needs no lookup: the common case of every archive of a run.
  if (platform::ResolveAddress(host, port, true, address) == 0) return true;
  // A name is looked up on a thread of its own, so that a cancel is heard while a name server
  // takes its time; a lookup given up on ends on its own.
  struct TLookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;
    platform::TSocketAddress address;
  };
  auto lookup = std::make_shared<TLookup>();
  try {
    std::thread([lookup, host, port] {
      platform::TSocketAddress found;
      const int error = platform::ResolveAddress(host, port, false, found);
      std::lock_guard<std::mutex> lock(lookup->mutex);
      lookup->error = error;
      lookup->address = found;
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    SetError(kErrHostNotFound);
    return false;
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
    if (stop || late) return false;
  }
  if (lookup->error != 0) {
    SetError(kErrHostNotFound);
    return false;
  }
  address = lookup->address;
  return true;
}

void TTCPBlockSocket::SendString(const std::string& data) {
  lastError_ = 0;
  if (CheckStop()) return;
  if (!socket_.IsOpen()) {
    SetError(kErrClosed);
    return;
  }
  if (!tls_) {
    SendRaw(data);
    return;
  }
  if (!tls_->Encrypt(data.data(), data.size())) {
    detail_ = tls_->Error();
    SetError(kErrTls);
    return;
  }
  FlushTls();
}

bool TTCPBlockSocket::SendRaw(const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    std::size_t n = 0;
    const int rc = socket_.Send(data.data() + sent, data.size() - sent, n);
    if (rc == 0 && n > 0) {
      sent += n;
      DoStatus(HR_WriteCount, std::to_string(n));
      continue;
    }
    if (rc == 0 || rc == platform::kSockWouldBlock) {
      const int ready = socket_.WaitWritable(kSliceMs);
      if (ready < 0) {
        SetError(-ready);
        return false;
      }
      if (CheckStop()) return false;
      continue;
    }
    SetError(rc);
    return false;
  }
  return true;
}

bool TTCPBlockSocket::FlushTls() {
  const std::string out = tls_->TakeOutgoing();
  return out.empty() || SendRaw(out);
}

long long TTCPBlockSocket::ReceiveRaw(int timeoutMs) {
  for (;;) {
    if (!WaitReadable(timeoutMs)) return -1;
    if (chunk_.Size() == 0) chunk_.Resize(65536);
    std::size_t n = 0;
    const int rc = socket_.Receive(chunk_.Chars(), chunk_.Size(), n);
    if (rc == platform::kSockWouldBlock) continue;
    if (rc != 0) {
      SetError(rc);
      return -1;
    }
    return static_cast<long long>(n);
  }
}

bool TTCPBlockSocket::StartTls(const std::string& host, int timeoutMs,
                               const std::vector<std::string>& protocols) {
  lastError_ = 0;
  detail_.clear();
  untrusted_ = false;
  // Whatever arrived before the session (a proxy's answer to CONNECT) has been read to its end:
  // a byte beyond it was sent by someone on the way, not by the server, and would otherwise be
  // served before any decrypted byte as the server's own answer.
  const bool stray = start_ < buffer_.size();
  buffer_.clear();
  start_ = 0;
  pendingSkip_ = 0;
  if (stray) {
    detail_ = "bytes arrived before the secure session began";
    SetError(kErrTls);
    CloseSocket();
    return false;
  }
  tls_ = platform::TTlsClient::Create(host, protocols);
  if (!tls_) {
    SetError(kErrNoTls);
    CloseSocket();
    return false;
  }
  for (;;) {
    const platform::TTlsClient::TState state = tls_->Handshake();
    if (!FlushTls()) {
      CloseSocket();
      return false;
    }
    if (state == platform::TTlsClient::TState::Done) return true;
    if (state == platform::TTlsClient::TState::Failed) {
      detail_ = tls_->Error();
      untrusted_ = tls_->Untrusted();
      SetError(kErrTls);
      CloseSocket();
      return false;
    }
    const long long n = ReceiveRaw(timeoutMs);
    if (n <= 0) {
      if (n == 0) SetError(kErrClosed);  // the server gave up on the handshake
      CloseSocket();
      return false;
    }
    DoStatus(HR_ReadCount, "0");
    tls_->Received(chunk_.Chars(), static_cast<std::size_t>(n));
  }
}

bool TTCPBlockSocket::WaitReadable(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (CheckStop()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      SetError(kErrTimeout);
      return false;
    }
    const int ready = socket_.WaitReadable(static_cast<int>(std::min<long long>(left, kSliceMs)));
    if (ready > 0) {
      DoStatus(HR_CanRead, "");
      return true;
    }
    if (ready < 0) {
      SetError(-ready);
      return false;
    }
    DoStatus(HR_Wait, "");
  }
}

bool TTCPBlockSocket::Fill(int timeoutMs) {
  if (!socket_.IsOpen()) {
    SetError(kErrClosed);
    return false;
  }
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  std::string plain;
  for (;;) {
    if (tls_) {
      const platform::TTlsClient::TState state = tls_->Decrypt(plain);
      // What the session must answer (a key update) goes out before more is awaited.
      if (!FlushTls()) return false;
      if (!plain.empty()) break;
      if (state == platform::TTlsClient::TState::Done) {
        closedCleanly_ = true;
        SetError(kErrClosed);
        return false;
      }
      if (state == platform::TTlsClient::TState::Failed) {
        detail_ = tls_->Error();
        SetError(kErrTls);
        return false;
      }
    }
    const long long n = ReceiveRaw(timeoutMs);
    if (n < 0) return false;
    if (n == 0) {
      // Over TLS only the session's own close is an orderly end: a connection cut without it
      // may have been cut by someone on the way.
      closedCleanly_ = !tls_;
      SetError(kErrClosed);
      return false;
    }
    if (!tls_) {
      plain.assign(chunk_.Chars(), static_cast<std::size_t>(n));
      break;
    }
    tls_->Received(chunk_.Chars(), static_cast<std::size_t>(n));
  }
  DoStatus(HR_ReadCount, std::to_string(plain.size()));
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(plain);
  return true;
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

bool TTCPBlockSocket::NextStartsWith(const std::string& prefix, int timeoutMs) {
  lastError_ = 0;
  if (CheckStop()) return false;
  int lineEnds = 0;
  for (;;) {
    DropPendingLineEnd(true);
    while (start_ < buffer_.size() && (buffer_[start_] == '\r' || buffer_[start_] == '\n')) {
      if (++lineEnds > 4) return false;
      ++start_;
    }
    const std::size_t avail = buffer_.size() - start_;
    const std::size_t n = std::min(avail, prefix.size());
    for (std::size_t i = 0; i < n; ++i) {
      const auto upper = [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
      };
      if (upper(buffer_[start_ + i]) != upper(prefix[i])) return false;
    }
    if (n == prefix.size()) return true;
    if (!Fill(timeoutMs)) return false;
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

bool TTCPBlockSocket::WaitForData(int timeoutMs) {
  if (start_ < buffer_.size()) return true;
  return socket_.IsOpen() && socket_.WaitReadable(timeoutMs) != 0;
}

std::string TTCPBlockSocket::RecvNow() {
  lastError_ = 0;
  if (CheckStop()) return {};
  if (start_ < buffer_.size()) {
    std::string out = buffer_.substr(start_);
    buffer_.clear();
    start_ = 0;
    return out;
  }
  if (!socket_.IsOpen()) {
    SetError(kErrClosed);
    return {};
  }
  if (chunk_.Size() == 0) chunk_.Resize(65536);
  std::size_t n = 0;
  const int rc = socket_.Receive(chunk_.Chars(), chunk_.Size(), n);
  if (rc == platform::kSockWouldBlock) return {};
  if (rc != 0) {
    SetError(rc);
    return {};
  }
  if (n == 0) {
    closedCleanly_ = !tls_;
    SetError(kErrClosed);
    return {};
  }
  std::string plain;
  if (!tls_) {
    plain.assign(chunk_.Chars(), n);
  } else {
    tls_->Received(chunk_.Chars(), n);
    const platform::TTlsClient::TState state = tls_->Decrypt(plain);
    if (!FlushTls()) return {};
    if (plain.empty() && state == platform::TTlsClient::TState::Done) {
      closedCleanly_ = true;
      SetError(kErrClosed);
      return {};
    }
    if (state == platform::TTlsClient::TState::Failed) {
      detail_ = tls_->Error();
      SetError(kErrTls);
      return {};
    }
  }
  DoStatus(HR_ReadCount, std::to_string(plain.size()));
  return plain;
}

bool TTCPBlockSocket::CanRead(int timeoutMs) {
  if (start_ < buffer_.size()) return true;
  if (!socket_.IsOpen()) return false;
  if (!tls_) return socket_.WaitReadable(timeoutMs) > 0;
  // Over TLS only application data or the end count: a session ticket that the server sends
  // after the handshake does not.
  while (socket_.WaitReadable(timeoutMs) > 0) {
    if (chunk_.Size() == 0) chunk_.Resize(65536);
    std::size_t n = 0;
    const int rc = socket_.Receive(chunk_.Chars(), chunk_.Size(), n);
    if (rc == platform::kSockWouldBlock) continue;
    if (rc != 0 || n == 0) return true;
    tls_->Received(chunk_.Chars(), n);
    std::string plain;
    const platform::TTlsClient::TState state = tls_->Decrypt(plain);
    buffer_.append(plain);
    if (!plain.empty() || state != platform::TTlsClient::TState::Working) return true;
    timeoutMs = 0;
  }
  return false;
}

}  // namespace kova
