#pragma once
// The byte streams that documents are read from and downloads are written to. Positions and
// sizes are 64-bit: game files of several gigabytes pass through the same interface.

#include <cstdint>
#include <string>

namespace kova {

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to `count` bytes; returns how many were read (0 at the end). Raises EStreamError
  // when the underlying source fails.
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes all `count` bytes or raises EStreamError.
  virtual void Write(const void* buffer, std::size_t count) = 0;
  virtual std::int64_t Size() const = 0;
  virtual std::int64_t Position() const = 0;
  virtual void Seek(std::int64_t position) = 0;
  // Cuts the stream to `size` bytes (the position is kept unless it lies beyond).
  virtual void Truncate(std::int64_t size) = 0;
  // Puts what was written on the disk itself, so that a power cut after a rename cannot leave
  // the name on an empty or zero-filled file. Raises EStreamError when the system cannot.
  virtual void Flush() {}
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : data_(std::move(data)) {}

  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* buffer, std::size_t count) override;
  std::int64_t Size() const override { return static_cast<std::int64_t>(data_.size()); }
  std::int64_t Position() const override { return position_; }
  void Seek(std::int64_t position) override;
  void Truncate(std::int64_t size) override;

  const std::string& Data() const { return data_; }
  void Clear() {
    data_.clear();
    position_ = 0;
  }

 private:
  std::string data_;
  std::int64_t position_ = 0;
};

}  // namespace kova
