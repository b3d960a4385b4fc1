#pragma once
// The secure layer of the HTTP client: a TLS client session (TLS 1.2 and later) that works on
// bytes only. The socket feeds it what arrives from the peer and sends what it gives back, so it
// never blocks and never touches the network itself; the socket's time-outs and stop flag stay
// in charge.
//
// The server's certificate chain is verified against the system's trusted roots and, when the
// environment variable SSL_CERT_FILE names a file of PEM certificates, those roots as well; the
// certificate must be valid now and name the host that was asked for.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kova::platform {

class TTlsClient {
 public:
  enum class TState { Working, Done, Failed };

  virtual ~TTlsClient() = default;
  // A session for `host` (a name or a numeric address) that offers the application protocols
  // `protocols` (ALPN names, the preferred first; none: the server picks its default); null
  // where the system has no secure layer.
  static std::unique_ptr<TTlsClient> Create(const std::string& host,
                                            const std::vector<std::string>& protocols = {});

  // Takes what arrived from the peer.
  virtual void Received(const char* data, std::size_t size) = 0;
  // What must go to the peer now (handshake records, encrypted data); emptied by the call.
  virtual std::string TakeOutgoing() = 0;
  // Advances the handshake with what was received: Done once the session is established and
  // the peer verified, Working while more of the peer's records are needed, Failed otherwise.
  virtual TState Handshake() = 0;
  // Encrypts application data into the outgoing bytes; false on a failure of the session.
  virtual bool Encrypt(const char* data, std::size_t size) = 0;
  // Appends the application data decrypted so far to `out`: Working while the session goes on,
  // Done once the peer has closed it in order, Failed on a broken or forged record.
  virtual TState Decrypt(std::string& out) = 0;
  // Why the session failed, for the error report.
  virtual std::string Error() const = 0;
  // Whether the handshake failed because the server's certificate was not trusted (no known
  // authority, expired, for another name).
  virtual bool Untrusted() const = 0;
  // The application protocol the server chose during the handshake; empty when it chose none.
  virtual std::string Protocol() const = 0;
};

}  // namespace kova::platform
