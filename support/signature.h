#pragma once
// What signed publications need: Ed25519 detached signatures from libsodium, with keys and
// signatures as base64 text (the standard alphabet, with padding), and SHA-256 from OpenSSL's
// libcrypto (linked for TLS anyway), whose code uses the processor's SHA instructions: the
// digest runs over every byte of a game, and libsodium's portable one would slow a signed
// install down.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct evp_md_ctx_st;  // OpenSSL's digest context

namespace kova {

// The 32-byte public key in `base64`, or false when it is no such key.
bool DecodePublicKey(const std::string& base64, std::string& key);
// Whether `signatureText` (base64 of 64 bytes, surrounding blanks and line ends allowed) is the
// signature of exactly `message` by the holder of `publicKey` (32 bytes).
bool VerifySignature(const std::string& message, const std::string& signatureText,
                     const std::string& publicKey);

// A new key pair: the secret key (64 bytes) and the public key (32 bytes).
void MakeKeyPair(std::string& secretKey, std::string& publicKey);
// The public half of a secret key.
std::string PublicKeyOf(const std::string& secretKey);
// The base64 text of the signature of `message`.
std::string SignMessage(const std::string& message, const std::string& secretKey);

std::string ToBase64(const std::string& bytes);
// False for text that is not base64 (blanks around it are allowed).
bool FromBase64(const std::string& text, std::string& bytes);

// SHA-256 over data given in pieces; the digest as lower-case hex.
class TSha256 {
 public:
  TSha256();
  void Update(const void* data, std::size_t size);
  std::string HexDigest();

 private:
  struct TFree {
    void operator()(::evp_md_ctx_st* context) const;
  };
  std::unique_ptr<::evp_md_ctx_st, TFree> context_;
};
std::string Sha256Hex(const std::string& data);
// Whether `text` is a SHA-256 digest written as 64 lower-case hex digits.
bool IsSha256Hex(const std::string& text);

}  // namespace kova

namespace kova {

// SHA-256 of data handed over in pieces, taken on a thread of its own, so that a worker that
// decodes or receives the data does not wait for the hash. Pieces are copied; at most a few are
// queued at once, so memory stays bounded and a slow hash slows the producer instead.
class TParallelSha256 {
 public:
  TParallelSha256();
  ~TParallelSha256();
  TParallelSha256(const TParallelSha256&) = delete;
  TParallelSha256& operator=(const TParallelSha256&) = delete;
  void Update(const void* data, std::size_t size);
  // Waits for the queued pieces and gives the digest as lower-case hex.
  std::string HexDigest();

  struct TState;

 private:
  std::unique_ptr<TState> state_;
};

}  // namespace kova
