#pragma once
// A byte buffer that begins on a page boundary. The kernel copies file and socket data into such
// a buffer several times faster than into one a few bytes past a boundary, which on some
// machines decides whether reading a file keeps up with the disk cache.

#include <cstddef>
#include <memory>
#include <new>

namespace kova {

class TAlignedBuffer {
 public:
  static constexpr std::size_t kAlignment = 4096;

  TAlignedBuffer() = default;
  explicit TAlignedBuffer(std::size_t size) { Resize(size); }

  // Makes room for `size` bytes; what the buffer held is not kept.
  void Resize(std::size_t size) {
    if (size == size_) return;
    data_.reset(
        size ? static_cast<unsigned char*>(::operator new (size, std::align_val_t{kAlignment}))
             : nullptr);
    size_ = size;
  }
  unsigned char* Data() { return data_.get(); }
  const unsigned char* Data() const { return data_.get(); }
  char* Chars() { return reinterpret_cast<char*>(data_.get()); }
  std::size_t Size() const { return size_; }

 private:
  struct TRelease {
    void operator()(unsigned char* p) const { ::operator delete (p, std::align_val_t{kAlignment}); }
  };
  std::unique_ptr<unsigned char, TRelease> data_;
  std::size_t size_ = 0;
};

}  // namespace kova
