#pragma once
// Where the secure layer finds the system's trusted roots: each system keeps them its own way.

#include <openssl/ssl.h>

namespace kova::platform {

// Adds the roots the system trusts to the context's store; SSL_CERT_FILE is added by the caller,
// beside them, never instead of them.
void AddSystemRoots(SSL_CTX* ctx);

}  // namespace kova::platform
