#pragma once
// A tampering HTTP proxy of the tests' own on 127.0.0.1: it stands between the launcher and
// nginx, as someone on the network path would, forwards each request and may rewrite the reply
// (its status line, headers and body) before it reaches the launcher. One request per
// connection, as the launcher's HTTP/1.0 client makes them.

#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/test_servers.h"

namespace kova::test {

class TTamperingProxy {
 public:
  // Called with the request's path, the reply's head (status line and headers, without the
  // blank line) and its body; may change any of them. The Content-Length is put right after.
  using TTamper =
      std::function<void(const std::string& path, std::string& head, std::string& body)>;

  TTamperingProxy(int upstreamPort, TTamper tamper)
      : upstreamPort_(upstreamPort), tamper_(std::move(tamper)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0)
      throw std::runtime_error("the proxy cannot listen");
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~TTamperingProxy() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread& t : workers_) t.join();
  }
  TTamperingProxy(const TTamperingProxy&) = delete;
  TTamperingProxy& operator=(const TTamperingProxy&) = delete;

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void Accept() {
    while (!stopping_) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (stopping_) return;
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      workers_.emplace_back([this, client] { Serve(client); });
    }
  }

  static bool SendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  void Serve(int client) {
    std::string request;
    char buffer[65536];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    // One request per connection: the server is asked to close after its reply, whatever the
    // client asked for, so the whole reply can be read before it is passed on.
    for (std::size_t at; (at = request.find("\r\nConnection:")) != std::string::npos ||
                         (at = request.find("\r\nconnection:")) != std::string::npos;)
      request.erase(at, request.find("\r\n", at + 2) - at);
    const std::size_t blank = request.find("\r\n\r\n");
    if (blank != std::string::npos) request.insert(blank, "\r\nConnection: close");
    const std::size_t pathStart = request.find(' ') + 1;
    const std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
    const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(upstreamPort_));
    std::string reply;
    if (::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        SendAll(upstream, request)) {
      for (ssize_t n; (n = ::recv(upstream, buffer, sizeof buffer, 0)) > 0;)
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(upstream);
    const std::size_t split = reply.find("\r\n\r\n");
    if (split != std::string::npos) {
      std::string head = reply.substr(0, split), body = reply.substr(split + 4);
      tamper_(path, head, body);
      // The length follows the body as it now is.
      std::string fixed;
      for (std::size_t start = 0; start < head.size();) {
        std::size_t end = head.find("\r\n", start);
        if (end == std::string::npos) end = head.size();
        const std::string line = head.substr(start, end - start);
        if (!line.empty() && ::strncasecmp(line.c_str(), "content-length:", 15) != 0)
          fixed += line + "\r\n";
        start = end + 2;
      }
      reply = fixed + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    SendAll(client, reply);
    ::shutdown(client, SHUT_WR);
    ::close(client);
  }

  int upstreamPort_;
  TTamper tamper_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
};

}  // namespace kova::test
