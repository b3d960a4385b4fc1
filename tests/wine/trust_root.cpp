// Adds a PEM certificate to, or removes it from, the current user's trusted roots (the system
// store "ROOT"), as a player's administrator would: trust_root.exe add|remove FILE.

#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: trust_root add|remove FILE\n");
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                            nullptr))
    return 1;
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                            nullptr))
    return 1;
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  if (!store) return 1;
  PCCERT_CONTEXT cert =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(size));
  if (!cert) return 1;
  BOOL ok = FALSE;
  if (std::string(argv[1]) == "add") {
    ok = CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  } else if (PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                               CERT_FIND_EXISTING, cert, nullptr)) {
    ok = CertDeleteCertificateFromStore(found);  // frees `found`
  }
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
  return ok ? 0 : 1;
}
