#pragma once
// zstd, a publisher's choice of codec for archives and chunks: it decodes several times faster
// than LZMA, which lets a fast line be filled. Which codec a stored piece uses is told by its
// first bytes (a zstd frame's magic number; an LZMA-Alone header never starts so in what
// kova-publish writes), so a list needs no word of it to be read.
//
// Decoding is bounded as for LZMA: the output by the size the caller allows, and the window a
// frame may ask for by kMaxWindowLog, so a frame cannot make the decoder reserve more memory.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kova {

// Whether `data` (at least `size` bytes of it) begins a zstd frame.
bool IsZstdFrame(const void* data, std::size_t size);

class TZstdDecoder {
 public:
  // A window larger than 2^27 bytes (128 MiB) is refused: kova-publish never writes one.
  static constexpr int kMaxWindowLog = 27;
  TZstdDecoder();
  ~TZstdDecoder();
  TZstdDecoder(const TZstdDecoder&) = delete;
  TZstdDecoder& operator=(const TZstdDecoder&) = delete;

  enum class TResult { More, Ended, Failed };
  // Decodes `size` bytes of input, handing each piece of output to `out`. Ended once a frame is
  // complete (input after it is not decoded); Failed with `Error` for a broken frame, a window
  // too large, or the memory it cannot have.
  TResult Decode(const void* data, std::size_t size,
                 const std::function<void(const char*, std::size_t)>& out);
  std::string Error;
  bool WindowRefused = false;  // the frame asked for a window past kMaxWindowLog

 private:
  struct TState;
  std::unique_ptr<TState> state_;
  bool ended_ = false;
};

// One frame of `size` bytes at `level` (1 to 22: every such level keeps its window within
// 2^kMaxWindowLog), with its content size and checksum.
std::string EncodeZstd(const void* data, std::size_t size, int level);

}  // namespace kova
