#include "support/stream.h"

#include <algorithm>
#include <cstring>

#include "support/error.h"

namespace kova {

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  const auto size = static_cast<std::int64_t>(data_.size());
  if (position_ >= size || count == 0) return 0;
  const auto n = static_cast<std::size_t>(
      std::min<std::int64_t>(size - position_, static_cast<std::int64_t>(count)));
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += static_cast<std::int64_t>(n);
  return n;
}

void TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;
  const auto end = static_cast<std::size_t>(position_) + count;
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + position_, buffer, count);
  position_ = static_cast<std::int64_t>(end);
}

void TMemoryStream::Seek(std::int64_t position) {
  if (position < 0) throw EStreamError("Stream seek error");
  position_ = position;
}

void TMemoryStream::Truncate(std::int64_t size) {
  if (size < 0) throw EStreamError("Stream seek error");
  data_.resize(static_cast<std::size_t>(size));
  position_ = std::min(position_, size);
}

}  // namespace kova
