// The HTTP client reading a response made of arbitrary bytes. A server thread on 127.0.0.1 sends
// the input in pieces split where the fuzzer says (the first bytes give the piece sizes), then
// closes. The client must end with a result, keep its body within its limits and never crash.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/http_send.h"

namespace {

class TServer {
 public:
  TServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 8) != 0) {
      std::abort();
    }
    socklen_t length = sizeof address;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    std::thread([this] { Serve(); }).detach();
  }
  int Port() const { return port_; }
  // The pieces the next connection gets.
  void Prepare(std::vector<std::string> pieces) {
    std::lock_guard<std::mutex> lock(mutex_);
    pieces_ = std::move(pieces);
  }

 private:
  void Serve() {
    for (;;) {
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      std::vector<std::string> pieces;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pieces = pieces_;
      }
      char request[4096];
      (void)::recv(fd, request, sizeof request, 0);  // the request itself does not matter
      for (const std::string& piece : pieces) {
        if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
      }
      ::shutdown(fd, SHUT_WR);
      // Drain until the client closes, so that it sees an orderly end and not a reset.
      while (::recv(fd, request, sizeof request, 0) > 0) {
      }
      ::close(fd);
    }
  }
  int listen_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> pieces_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TServer* server = new TServer;
  if (size < 1) return 0;
  // First byte: how many split points follow (up to 7); each is one byte of piece length.
  const std::size_t splits = std::min<std::size_t>(data[0] & 7, size - 1);
  std::vector<std::size_t> lengths;
  for (std::size_t i = 0; i < splits; ++i) lengths.push_back(data[1 + i]);
  const std::string body(reinterpret_cast<const char*>(data + 1 + splits), size - 1 - splits);
  std::vector<std::string> pieces;
  std::size_t at = 0;
  for (std::size_t length : lengths) {
    if (at >= body.size()) break;
    pieces.push_back(body.substr(at, length));
    at += length;
  }
  if (at < body.size()) pieces.push_back(body.substr(at));
  server->Prepare(pieces);

  kova::THTTPSend http;
  http.Timeout = 2000;
  http.KeepAlive = false;
  http.PerformRequest("GET", "http://127.0.0.1:" + std::to_string(server->Port()) + "/file");
  // The body never holds more than was sent; a line that is no status line is kept with a CR LF
  // in place of its line end, which can add one byte to each line.
  if (http.Document.Size() > 2 * static_cast<std::int64_t>(body.size()) + 2) std::abort();
  return 0;
}
