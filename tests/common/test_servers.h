#pragma once
// Real peers for the network tests, started on 127.0.0.1 with free ports and stopped with the
// test: nginx serving a folder of fixtures, and the scripted server for replies nginx will not
// send.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "net/http_send.h"
#include "tests/common/child_process.h"
#include "tests/common/temp_dir.h"

namespace kova::test {

inline bool PortAccepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// Starts a server on a free port: `start(port)` makes its process, `answers()` tells that it
// serves. Another process can take a free port between its choice and the bind, so up to ten
// ports are tried; null when none served. A server that does not answer is stopped.
template <typename TStart, typename TAnswers>
std::unique_ptr<TChild> StartOnFreePort(int& port, TStart start, TAnswers answers) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    port = FreePort();
    std::unique_ptr<TChild> child = start(port);
    if (Eventually([&] { return !child->Running() || answers(); }, 20) && child->Running())
      return child;
    child->Stop(10);
  }
  return nullptr;
}

class TScriptedServer {
 public:
  TScriptedServer()
      : child_("/usr/bin/python3", {KOVA_SOURCE_DIR "/tests/servers/scripted_http_server.py"}, {},
               true) {
    if (!child_.WaitForOutput("\n", 20)) throw std::runtime_error("scripted server did not start");
    port_ = std::stoi(child_.Output());
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int Port() const { return port_; }

 private:
  TChild child_;
  int port_ = 0;
};

// A proxy in front of `upstreamPort` that makes a share of its connections fail (see
// flaky_proxy.py for the faults).
class TFlakyProxy {
 public:
  TFlakyProxy(int upstreamPort, double rate, int seed, const std::vector<std::string>& faults = {})
      : child_("/usr/bin/python3", Arguments(upstreamPort, rate, seed, faults), {}, true) {
    if (!child_.WaitForOutput("\n", 20)) throw std::runtime_error("flaky proxy did not start");
    port_ = std::stoi(child_.Output());
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  static std::vector<std::string> Arguments(int upstreamPort, double rate, int seed,
                                            const std::vector<std::string>& faults) {
    std::vector<std::string> args{KOVA_SOURCE_DIR "/tests/servers/flaky_proxy.py",
                                  std::to_string(upstreamPort), std::to_string(rate),
                                  std::to_string(seed)};
    args.insert(args.end(), faults.begin(), faults.end());
    return args;
  }
  TChild child_;
  int port_ = 0;
};

// nginx serving Root() at Url(), with Range and Last-Modified as it always does; its access log
// records each request's Range and User-Agent lines. /slow/ is served at 256 KiB/s.
class TNginx {
 public:
  // `serverConfig` is added inside the server block (a proxy_pass location, say).
  explicit TNginx(std::string serverConfig = "") : serverConfig_(std::move(serverConfig)) {
    ForceDir(dir_ / "www/slow");
    ForceDir(dir_ / "tmp");
    // A probe file only this server has: a free port can be taken by another test's server
    // between choosing it and binding it, and answering for that one would mislead the test.
    WriteFile(dir_ / "www/.probe", dir_.Path());
    child_ = StartOnFreePort(
        port_,
        [&](int) {
          WriteConfig();
          return std::make_unique<TChild>(
              "/usr/sbin/nginx",
              std::vector<std::string>{"-p", dir_.Path(), "-c", dir_ / "nginx.conf", "-g",
                                       "daemon off; master_process off;"});
        },
        [&] { return Answers(); });
    if (!child_) throw std::runtime_error("nginx did not start: " + ReadFile(dir_ / "error.log"));
  }
  ~TNginx() {
    if (child_) child_->Stop();
  }
  TNginx(const TNginx&) = delete;
  TNginx& operator=(const TNginx&) = delete;

  std::string Root() const { return dir_ / "www"; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int Port() const { return port_; }
  // Access-log lines: "request|range|user agent|status". nginx writes a request's line only when
  // it has finished with it, which can be after the client has read the whole reply; a marked
  // request made now, and waited for in the log, lets the earlier lines arrive first.
  std::string AccessLog() const {
    const std::string mark = "/.probe?mark=" + std::to_string(++marks_);
    THTTPSend http;
    http.Timeout = 2000;
    http.PerformRequest("GET", Url(mark));
    std::string log;
    Eventually(
        [&] {
          return (log = ReadFile(dir_ / "access.log")).find("GET " + mark + " ") !=
                 std::string::npos;
        },
        5);
    return log;
  }
  // The connections the requests for paths containing `part` came on, in the order of the
  // requests (nginx numbers its connections). The connections log has a line "CONNECTION
  // REQUEST STATUS BYTES_SENT" a request.
  std::vector<std::string> ConnectionsOf(const std::string& part) const {
    AccessLog();  // waits until the earlier requests are written
    std::vector<std::string> out;
    std::istringstream lines(ReadFile(dir_ / "connections.log"));
    for (std::string line; std::getline(lines, line);) {
      if (line.find(part) != std::string::npos) out.push_back(line.substr(0, line.find(' ')));
    }
    return out;
  }
  // The lines of the connections log for requests containing `part`.
  std::vector<std::string> ConnectionLog(const std::string& part) const {
    AccessLog();
    std::vector<std::string> out;
    std::istringstream lines(ReadFile(dir_ / "connections.log"));
    for (std::string line; std::getline(lines, line);) {
      if (line.find(part) != std::string::npos) out.push_back(line);
    }
    return out;
  }

 private:
  static void ForceDir(const std::string& path) { std::filesystem::create_directories(path); }
  bool Answers() {
    THTTPSend http;
    http.Timeout = 2000;
    return http.PerformRequest("GET", Url("/.probe")) && http.ResultCode == 200 &&
           http.Document.Data() == dir_.Path();
  }
  void WriteConfig() {
    WriteFile(dir_ / "nginx.conf",
              "error_log " + dir_ / "error.log" +
                  " warn;\n"
                  "pid " +
                  dir_ / "nginx.pid" +
                  ";\n"
                  "events { worker_connections 64; }\n"
                  "http {\n"
                  "  log_format probe '$request|$http_range|$http_user_agent|$status';\n"
                  "  log_format connection '$connection $request $status $bytes_sent';\n"
                  "  access_log " +
                  dir_ / "access.log" +
                  " probe;\n"
                  "  access_log " +
                  dir_ / "connections.log" +
                  " connection;\n"
                  "  client_body_temp_path " +
                  dir_ / "tmp" +
                  ";\n"
                  "  proxy_temp_path " +
                  dir_ / "tmp" +
                  ";\n"
                  "  fastcgi_temp_path " +
                  dir_ / "tmp" +
                  ";\n"
                  "  uwsgi_temp_path " +
                  dir_ / "tmp" +
                  ";\n"
                  "  scgi_temp_path " +
                  dir_ / "tmp" +
                  ";\n"
                  "  server {\n"
                  "    listen 127.0.0.1:" +
                  std::to_string(port_) +
                  ";\n"
                  "    root " +
                  dir_ / "www" +
                  ";\n"
                  "    location /slow/ { limit_rate 256k; }\n" +
                  serverConfig_ +
                  "  }\n"
                  "}\n");
  }
  std::string serverConfig_;
  TTempDir dir_;
  int port_ = 0;
  std::unique_ptr<TChild> child_;
  mutable int marks_ = 0;
};

}  // namespace kova::test
