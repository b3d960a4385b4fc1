#include "workers/zstd_frame.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

namespace kova {

bool IsZstdFrame(const void* data, std::size_t size) {
  static const unsigned char kMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
  return size >= 4 && std::equal(kMagic, kMagic + 4, static_cast<const unsigned char*>(data));
}

struct TZstdDecoder::TState {
  ZSTD_DCtx* Context = ZSTD_createDCtx();
  std::vector<char> Out = std::vector<char>(ZSTD_DStreamOutSize());
  ~TState() { ZSTD_freeDCtx(Context); }
};

TZstdDecoder::TZstdDecoder() : state_(std::make_unique<TState>()) {
  if (state_->Context) ZSTD_DCtx_setParameter(state_->Context, ZSTD_d_windowLogMax, kMaxWindowLog);
}

TZstdDecoder::~TZstdDecoder() = default;

TZstdDecoder::TResult TZstdDecoder::Decode(
    const void* data, std::size_t size, const std::function<void(const char*, std::size_t)>& out) {
  if (!state_->Context) {
    Error = "Out of memory while unpacking.";
    return TResult::Failed;
  }
  if (ended_) return TResult::Ended;
  ZSTD_inBuffer in{data, size, 0};
  // Decoded until the input is used up and nothing more is pending in the decoder.
  for (;;) {
    ZSTD_outBuffer piece{state_->Out.data(), state_->Out.size(), 0};
    const std::size_t rc = ZSTD_decompressStream(state_->Context, &piece, &in);
    if (ZSTD_isError(rc)) {
      const ZSTD_ErrorCode code = ZSTD_getErrorCode(rc);
      WindowRefused = code == ZSTD_error_frameParameter_windowTooLarge;
      Error = code == ZSTD_error_frameParameter_windowTooLarge
                  ? "The archive asks for a larger window than is allowed."
              : code == ZSTD_error_memory_allocation ? "Out of memory while unpacking."
                                                     : "Error in data stream.";
      return TResult::Failed;
    }
    if (piece.pos > 0) out(state_->Out.data(), piece.pos);
    if (rc == 0) {
      ended_ = true;
      return TResult::Ended;
    }
    if (in.pos == in.size && piece.pos < piece.size) return TResult::More;
  }
}

std::string EncodeZstd(const void* data, std::size_t size, int level) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  if (!context) throw std::bad_alloc();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  ZSTD_CCtx_setPledgedSrcSize(context, size);
  std::string out(ZSTD_compressBound(size), '\0');
  const std::size_t n = ZSTD_compress2(context, out.data(), out.size(), data, size);
  ZSTD_freeCCtx(context);
  if (ZSTD_isError(n)) throw std::runtime_error(ZSTD_getErrorName(n));
  out.resize(n);
  return out;
}

}  // namespace kova
