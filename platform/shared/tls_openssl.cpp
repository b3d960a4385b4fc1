// The secure layer with OpenSSL, through a pair of memory BIOs: the socket moves the bytes. The
// same code serves both systems; only where the trusted roots come from differs.

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <mutex>

#include "platform/tls.h"
#include "platform/tls_roots.h"

namespace kova::platform {
namespace {

SSL_CTX* NewContext(const std::string& extra) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) return ctx;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  AddSystemRoots(ctx);
  if (!extra.empty()) SSL_CTX_load_verify_locations(ctx, extra.c_str(), nullptr);
  ERR_clear_error();
  return ctx;
}

// The context with the trusted roots, read once for each value of SSL_CERT_FILE. The caller gets
// its own reference, which it frees.
SSL_CTX* Context() {
  static std::mutex mutex;
  static SSL_CTX* context = nullptr;
  static std::string loadedExtra;
  const char* value = std::getenv("SSL_CERT_FILE");
  const std::string extra = value ? value : "";
  std::lock_guard<std::mutex> lock(mutex);
  if (!context || extra != loadedExtra) {
    if (context) SSL_CTX_free(context);  // sessions made from it keep their own reference
    context = NewContext(extra);
    loadedExtra = extra;
  }
  if (context) SSL_CTX_up_ref(context);
  return context;
}

bool IsNumericAddress(const std::string& host) {
  ASN1_OCTET_STRING* address = a2i_IPADDRESS(host.c_str());
  if (!address) {
    ERR_clear_error();
    return false;
  }
  ASN1_OCTET_STRING_free(address);
  return true;
}

class TOpenSslClient final : public TTlsClient {
 public:
  TOpenSslClient(const std::string& host, const std::vector<std::string>& protocols) {
    SSL_CTX* ctx = Context();
    if (!ctx) return;
    ssl_ = SSL_new(ctx);
    SSL_CTX_free(ctx);  // the session holds the context as long as it needs it
    if (!ssl_) return;
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in, out);
    in_ = in;
    out_ = out;
    if (IsNumericAddress(host)) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
    } else {
      // The server name for virtual hosts (the macro of the header is a C cast).
      SSL_ctrl(ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
               const_cast<char*>(host.c_str()));
      // The name must stand in the certificate's subjectAltName: a subject CN alone is what
      // browsers stopped accepting, and a CA may have issued it without checking it as a name.
      X509_VERIFY_PARAM_set_hostflags(SSL_get0_param(ssl_), X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
      SSL_set1_host(ssl_, host.c_str());
    }
    if (!protocols.empty()) {
      // The wire form: each name after its length byte.
      std::string wire;
      for (const std::string& name : protocols) {
        if (name.empty() || name.size() > 255) continue;
        wire += static_cast<char>(name.size());
        wire += name;
      }
      SSL_set_alpn_protos(ssl_, reinterpret_cast<const unsigned char*>(wire.data()),
                          static_cast<unsigned>(wire.size()));
    }
    SSL_set_connect_state(ssl_);
  }
  ~TOpenSslClient() override {
    if (ssl_) SSL_free(ssl_);  // frees both BIOs
  }
  TOpenSslClient(const TOpenSslClient&) = delete;
  TOpenSslClient& operator=(const TOpenSslClient&) = delete;

  bool Ready() const { return ssl_ != nullptr; }

  void Received(const char* data, std::size_t size) override {
    if (size > 0) BIO_write(in_, data, static_cast<int>(size));
  }

  std::string TakeOutgoing() override {
    std::string out;
    char chunk[16384];
    for (int n; (n = BIO_read(out_, chunk, sizeof chunk)) > 0;)
      out.append(chunk, static_cast<std::size_t>(n));
    return out;
  }

  TState Handshake() override {
    const int rc = SSL_do_handshake(ssl_);
    if (rc == 1) return TState::Done;
    const int error = SSL_get_error(ssl_, rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return TState::Working;
    Fail("handshake");
    return TState::Failed;
  }

  bool Encrypt(const char* data, std::size_t size) override {
    while (size > 0) {
      const int n = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
      if (n <= 0) {
        Fail("write");
        return false;
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  TState Decrypt(std::string& out) override {
    char chunk[16384];
    for (;;) {
      const int n = SSL_read(ssl_, chunk, sizeof chunk);
      if (n > 0) {
        out.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return TState::Working;
      if (error == SSL_ERROR_ZERO_RETURN) return TState::Done;
      Fail("read");
      return TState::Failed;
    }
  }

  std::string Error() const override { return error_; }
  bool Untrusted() const override { return untrusted_; }

  std::string Protocol() const override {
    const unsigned char* name = nullptr;
    unsigned length = 0;
    SSL_get0_alpn_selected(ssl_, &name, &length);
    return name ? std::string(reinterpret_cast<const char*>(name), length) : std::string();
  }

 private:
  void Fail(const char* step) {
    error_ = std::string("TLS ") + step + " failed";
    const long verify = SSL_get_verify_result(ssl_);
    if (verify != X509_V_OK) {
      untrusted_ = true;
      error_ += ": " + std::string(X509_verify_cert_error_string(verify));
    } else if (const unsigned long code = ERR_peek_error()) {
      char text[256];
      ERR_error_string_n(code, text, sizeof text);
      error_ += std::string(": ") + text;
    }
    ERR_clear_error();
  }

  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  std::string error_;
  bool untrusted_ = false;
};

}  // namespace

std::unique_ptr<TTlsClient> TTlsClient::Create(const std::string& host,
                                               const std::vector<std::string>& protocols) {
  auto client = std::make_unique<TOpenSslClient>(host, protocols);
  if (!client->Ready()) return nullptr;
  return client;
}

}  // namespace kova::platform
