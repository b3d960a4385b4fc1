#pragma once
// Bodies sent with a content coding (Content-Encoding: gzip or deflate), which some servers
// apply even to a client that asked for none. They are decoded as they arrive, in pieces, so a
// small body that expands enormously never sits in memory whole.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kova {

class TContentDecoder {
 public:
  enum class TCoding { Identity, Gzip, Deflate, Unknown };
  // The coding a Content-Encoding value names; an absent header is Identity.
  static TCoding CodingOf(const std::string& value);

  explicit TContentDecoder(TCoding coding);
  ~TContentDecoder();
  TContentDecoder(const TContentDecoder&) = delete;
  TContentDecoder& operator=(const TContentDecoder&) = delete;

  // Decodes the next bytes of the body and hands the result to `sink` in pieces; false when the
  // data is not of the coding (or follows its end).
  bool Decode(const char* data, std::size_t size,
              const std::function<void(const char*, std::size_t)>& sink);
  // Whether the coded data has come to its proper end.
  bool Finished() const { return finished_; }

 private:
  struct TState;
  std::unique_ptr<TState> state_;
  TCoding coding_;
  bool finished_ = false;
  bool started_ = false;
};

}  // namespace kova
