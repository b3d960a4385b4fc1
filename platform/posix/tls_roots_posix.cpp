// The system's roots are the distribution's bundle and hashed folder, named explicitly: OpenSSL's
// own default would let SSL_CERT_FILE replace them.

#include "platform/tls_roots.h"

namespace kova::platform {

void AddSystemRoots(SSL_CTX* ctx) {
  SSL_CTX_load_verify_locations(ctx, X509_get_default_cert_file(), X509_get_default_cert_dir());
}

}  // namespace kova::platform
