#pragma once
// nginx serving a folder over TLS with certificates made at test time (openssl), one port per
// kind of certificate: a good one from the test's own CA, one for another name, an expired one,
// and one from a CA nobody trusts. A plain port serves the same folder and answers /moved/... and
// /rel/... with redirects to the good TLS port, and the good port answers /down/... with a
// redirect back to plain http and /loop/ with a redirect to itself. The Http2 port is the good
// one with HTTP/2 offered; `http2Settings` go into its server block (keepalive_requests, say).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/display.h"
#include "tests/common/test_servers.h"

namespace kova::test {

class TTlsNginx {
 public:
  // CnOnly: trusted, valid, "localhost" as its subject's CN but no subjectAltName.
  enum TSite { Good, WrongName, Expired, Untrusted, CnOnly, Http2 };

  explicit TTlsNginx(const std::string& root, std::string http2Settings = "")
      : root_(root), http2Settings_(std::move(http2Settings)) {
    MakeCertificates();
    for (int i = 0; i < 7; ++i) ports_.push_back(FreePort());
    std::filesystem::create_directories(dir_ / "tmp");
    WriteConfig();
    child_ = std::make_unique<TChild>(
        "/usr/sbin/nginx", std::vector<std::string>{"-p", dir_.Path(), "-c", dir_ / "nginx.conf",
                                                    "-g", "daemon off; master_process off;"});
    const bool up = Eventually(
        [&] {
          int status = 0;
          Shell("curl -s -o /dev/null --cacert '" + CaFile() + "' " + Url(Good, "/"), &status);
          return status == 0 || !child_->Running();
        },
        20);
    if (!up || !child_->Running())
      throw std::runtime_error("nginx with TLS did not start: " + ReadFile(dir_ / "error.log"));
  }
  ~TTlsNginx() { child_->Stop(10); }
  TTlsNginx(const TTlsNginx&) = delete;
  TTlsNginx& operator=(const TTlsNginx&) = delete;

  std::string Url(TSite site, const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(ports_[static_cast<std::size_t>(site)]) + path;
  }
  // The site by the host name "localhost" instead of its address.
  std::string NamedUrl(TSite site, const std::string& path) const {
    return "https://localhost:" + std::to_string(ports_[static_cast<std::size_t>(site)]) + path;
  }
  std::string PlainUrl(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(ports_[6]) + path;
  }
  // The roots that make the good site trusted (SSL_CERT_FILE).
  std::string CaFile() const { return dir_ / "ca.pem"; }
  // Access-log lines "request|range|user agent|status|port|connection number".
  std::vector<std::string> AccessLog() const {
    ::usleep(300000);  // nginx writes a line once it has finished with the request
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(dir_ / "access.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The access-log lines of the requests for `path`.
  std::vector<std::string> LogOf(const std::string& path) const {
    std::vector<std::string> out;
    for (const std::string& line : AccessLog()) {
      if (line.find(" " + path + " ") != std::string::npos) out.push_back(line);
    }
    return out;
  }

 private:
  void MakeCertificates() {
    const std::string d = dir_.Path();
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    WriteFile(dir_ / "ip.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    WriteFile(dir_ / "other.ext", "subjectAltName=DNS:other.example\n");
    WriteFile(dir_ / "nosan.ext", "basicConstraints=CA:FALSE\n");
    std::string script = "set -e; cd '" + d + "'\n";
    for (const char* ca : {"ca", "rogue"}) {
      script += "openssl req -x509 " + key + " -keyout " + ca + ".key -out " + ca +
                ".pem -days 3 -subj '/CN=Kova test " + ca + "'\n";
    }
    // name, signing CA, extension file, days of validity
    const char* sites[][4] = {{"good", "ca", "ip.ext", "2"},
                              {"wrongname", "ca", "other.ext", "2"},
                              {"expired", "ca", "ip.ext", "0"},
                              {"untrusted", "rogue", "ip.ext", "2"},
                              {"cnonly", "ca", "nosan.ext", "2"}};
    for (const auto& s : sites) {
      script += std::string("openssl req ") + key + " -keyout " + s[0] + ".key -out " + s[0] +
                ".csr -subj '/CN=" + (std::string(s[0]) == "cnonly" ? "localhost" : s[0]) + "'\n" +
                "openssl x509 -req -in " + s[0] + ".csr -CA " + s[1] + ".pem -CAkey " + s[1] +
                ".key -CAcreateserial -out " + s[0] + ".pem -days " + s[3] + " -extfile " + s[2] +
                "\n";
    }
    int status = 0;
    Shell("sh -c \"$(cat <<'SCRIPT'\n" + script + "SCRIPT\n)\" >/dev/null 2>&1", &status);
    if (status != 0) throw std::runtime_error("openssl could not make the test certificates");
    ::sleep(1);  // the certificate valid for no time at all has expired
  }

  void WriteConfig() {
    const std::string d = dir_.Path();
    std::string servers;
    const char* names[] = {"good", "wrongname", "expired", "untrusted", "cnonly", "good"};
    for (std::size_t i = 0; i < 6; ++i) {
      servers += "  server {\n    listen 127.0.0.1:" + std::to_string(ports_[i]) +
                 (i == Http2 ? " ssl http2;\n" + http2Settings_ : std::string(" ssl;")) +
                 "\n    ssl_certificate " + d + "/" + names[i] + ".pem;\n    ssl_certificate_key " +
                 d + "/" + names[i] + ".key;\n    root " + root_ +
                 ";\n    location ~ ^/down/(.*)$ { return 301 " + PlainUrl("/") +
                 "$1; }\n    location /loop/ { return 302 /loop/; }\n    location /slow/ { "
                 "limit_rate 256k; }\n  }\n";
    }
    servers +=
        "  server {\n    listen 127.0.0.1:" + std::to_string(ports_[6]) + ";\n    root " + root_ +
        ";\n    location ~ ^/moved/(.*)$ { return 301 " + Url(Good, "/") +
        "$1; }\n    location ~ ^/rel/(.*)$ { absolute_redirect off; return 302 /$1; }\n  }\n";
    WriteFile(dir_ / "nginx.conf",
              "error_log " + d + "/error.log warn;\npid " + d +
                  "/nginx.pid;\nevents { worker_connections 1024; }\nhttp {\n"
                  "  log_format probe "
                  "'$request|$http_range|$http_user_agent|$status|$server_port|$connection';\n"
                  "  access_log " +
                  d + "/access.log probe;\n  client_body_temp_path " + d +
                  "/tmp;\n  proxy_temp_path " + d + "/tmp;\n  fastcgi_temp_path " + d +
                  "/tmp;\n  uwsgi_temp_path " + d + "/tmp;\n  scgi_temp_path " + d + "/tmp;\n" +
                  servers + "}\n");
  }

  std::string root_;
  std::string http2Settings_;
  TTempDir dir_;
  std::vector<int> ports_;
  std::unique_ptr<TChild> child_;
};

// A suite of `TFixture` (a fixture with nginx_) with a TLS nginx serving the same folder; during
// each test SSL_CERT_FILE names the test's CA, as the programs under test see the file
// (`CaPath`).
template <class TFixture>
class TTlsSuite : public TFixture {
 protected:
  static void SetUpTestSuite() {
    TFixture::SetUpTestSuite();
    tls_ = new TTlsNginx(TFixture::nginx_->Root());
  }
  static void TearDownTestSuite() {
    delete tls_;
    tls_ = nullptr;
    TFixture::TearDownTestSuite();
  }
  void SetUp() override {
    TFixture::SetUp();
    ::setenv("SSL_CERT_FILE", CaPath(tls_->CaFile()).c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("SSL_CERT_FILE");
    TFixture::TearDown();
  }
  virtual std::string CaPath(const std::string& path) const { return path; }
  // The last request for the published file `name` asked for the rest from `offset` (a Range)
  // and was answered with part of the file.
  void ExpectLastRequestResumedAt(const std::string& name, std::size_t offset) const {
    const std::vector<std::string> log = tls_->LogOf(this->ServedPath(name));
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("|bytes=" + std::to_string(offset) + "-|"), std::string::npos)
        << log.back();
    EXPECT_NE(log.back().find("|206|"), std::string::npos) << log.back();
  }

  static inline TTlsNginx* tls_ = nullptr;
};

}  // namespace kova::test
