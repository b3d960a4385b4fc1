// Windows keeps the roots it trusts in the certificate store "ROOT" (the machine's and the
// user's, as the system merges them); OpenSSL knows nothing of it, so each certificate is copied
// into the context's store.

#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

// wincrypt.h names some types that OpenSSL names too; OpenSSL's headers undo those names.
#include <openssl/x509.h>

#include "platform/tls_roots.h"

namespace kova::platform {

void AddSystemRoots(SSL_CTX* ctx) {
  HCERTSTORE system = CertOpenSystemStoreA(0, "ROOT");
  if (!system) return;
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(system, nullptr); cert;
       cert = CertEnumCertificatesInStore(system, cert)) {
    const unsigned char* der = cert->pbCertEncoded;
    X509* x509 = d2i_X509(nullptr, &der, static_cast<long>(cert->cbCertEncoded));
    if (!x509) continue;  // a certificate OpenSSL cannot read is one it cannot trust either
    X509_STORE_add_cert(store, x509);  // takes its own reference; a duplicate is refused harmlessly
    X509_free(x509);
  }
  CertCloseStore(system, 0);
}

}  // namespace kova::platform
