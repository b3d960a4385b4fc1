#include "support/signature.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace kova {
namespace {

void Init() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("the cryptographic library cannot start");
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string ToBase64(const std::string& bytes) {
  Init();
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

bool FromBase64(const std::string& text, std::string& bytes) {
  Init();
  const std::string trimmed = Trimmed(text);
  std::string out(trimmed.size() / 4 * 3 + 3, '\0');
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), trimmed.data(),
                        trimmed.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != trimmed.data() + trimmed.size())
    return false;
  out.resize(length);
  bytes = std::move(out);
  return true;
}

bool DecodePublicKey(const std::string& base64, std::string& key) {
  std::string bytes;
  if (!FromBase64(base64, bytes) || bytes.size() != crypto_sign_PUBLICKEYBYTES) return false;
  key = bytes;
  return true;
}

bool VerifySignature(const std::string& message, const std::string& signatureText,
                     const std::string& publicKey) {
  std::string signature;
  if (publicKey.size() != crypto_sign_PUBLICKEYBYTES || !FromBase64(signatureText, signature) ||
      signature.size() != crypto_sign_BYTES)
    return false;
  return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(),
                                     reinterpret_cast<const unsigned char*>(publicKey.data())) == 0;
}

void MakeKeyPair(std::string& secretKey, std::string& publicKey) {
  Init();
  secretKey.assign(crypto_sign_SECRETKEYBYTES, '\0');
  publicKey.assign(crypto_sign_PUBLICKEYBYTES, '\0');
  crypto_sign_keypair(reinterpret_cast<unsigned char*>(publicKey.data()),
                      reinterpret_cast<unsigned char*>(secretKey.data()));
}

std::string PublicKeyOf(const std::string& secretKey) {
  Init();
  if (secretKey.size() != crypto_sign_SECRETKEYBYTES) throw std::runtime_error("not a secret key");
  std::string key(crypto_sign_PUBLICKEYBYTES, '\0');
  crypto_sign_ed25519_sk_to_pk(reinterpret_cast<unsigned char*>(key.data()),
                               reinterpret_cast<const unsigned char*>(secretKey.data()));
  return key;
}

std::string SignMessage(const std::string& message, const std::string& secretKey) {
  Init();
  if (secretKey.size() != crypto_sign_SECRETKEYBYTES) throw std::runtime_error("not a secret key");
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), reinterpret_cast<const unsigned char*>(secretKey.data()));
  return ToBase64(std::string(reinterpret_cast<const char*>(signature), sizeof signature));
}

void TSha256::TFree::operator()(::evp_md_ctx_st* context) const {
  EVP_MD_CTX_free(context);
}

TSha256::TSha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("the cryptographic library cannot start");
}

void TSha256::Update(const void* data, std::size_t size) {
  EVP_DigestUpdate(context_.get(), data, size);
}

std::string TSha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_.get(), digest, &length);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

std::string Sha256Hex(const std::string& data) {
  TSha256 hash;
  hash.Update(data.data(), data.size());
  return hash.HexDigest();
}

bool IsSha256Hex(const std::string& text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

struct TParallelSha256::TState {
  static constexpr std::size_t kMaxQueued = 8;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queue;
  bool finished = false;
  TSha256 hash;
  std::thread worker;
};

TParallelSha256::TParallelSha256() : state_(std::make_unique<TState>()) {
  TState& s = *state_;
  s.worker = std::thread([&s] {
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
      s.changed.wait(lock, [&s] { return s.finished || !s.queue.empty(); });
      if (s.queue.empty()) return;
      std::string piece = std::move(s.queue.front());
      s.queue.pop_front();
      s.changed.notify_all();
      lock.unlock();
      s.hash.Update(piece.data(), piece.size());
      lock.lock();
    }
  });
}

TParallelSha256::~TParallelSha256() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->finished = true;
    state_->queue.clear();
  }
  state_->changed.notify_all();
  if (state_->worker.joinable()) state_->worker.join();
}

void TParallelSha256::Update(const void* data, std::size_t size) {
  if (size == 0) return;
  std::string piece(static_cast<const char*>(data), size);
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->changed.wait(lock, [this] { return state_->queue.size() < TState::kMaxQueued; });
  state_->queue.push_back(std::move(piece));
  state_->changed.notify_all();
}

std::string TParallelSha256::HexDigest() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->finished = true;
  }
  state_->changed.notify_all();
  if (state_->worker.joinable()) state_->worker.join();
  return state_->hash.HexDigest();
}

}  // namespace kova
