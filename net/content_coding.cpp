#include "net/content_coding.h"

#include <zlib.h>

#include <vector>

#include "support/text.h"

namespace kova {

struct TContentDecoder::TState {
  z_stream stream{};
  bool open = false;
  std::vector<char> out = std::vector<char>(256 * 1024);
  ~TState() {
    if (open) inflateEnd(&stream);
  }
  bool Open(int windowBits) {
    if (open) inflateEnd(&stream);
    stream = z_stream{};
    open = inflateInit2(&stream, windowBits) == Z_OK;
    return open;
  }
};

TContentDecoder::TCoding TContentDecoder::CodingOf(const std::string& value) {
  const std::string coding = LowerCaseAscii(TrimBlanks(value));
  if (coding.empty() || coding == "identity") return TCoding::Identity;
  if (coding == "gzip" || coding == "x-gzip") return TCoding::Gzip;
  if (coding == "deflate") return TCoding::Deflate;
  return TCoding::Unknown;
}

TContentDecoder::TContentDecoder(TCoding coding)
    : state_(std::make_unique<TState>()), coding_(coding) {
  // "deflate" is meant as a zlib stream, but some servers send the raw data: the first bytes
  // tell (see Decode).
  state_->Open(coding == TCoding::Gzip ? 16 + MAX_WBITS : MAX_WBITS);
}

bool TContentDecoder::Decode(const char* data, std::size_t size,
                             const std::function<void(const char*, std::size_t)>& sink) {
  if (coding_ == TCoding::Identity) {
    if (size > 0) sink(data, size);
    return true;
  }
  if (coding_ == TCoding::Unknown || !state_->open) return false;
  if (size == 0) return true;
  if (finished_) return false;  // bytes after the end of the coded data
  z_stream& z = state_->stream;
  if (!started_ && coding_ == TCoding::Deflate) {
    // A zlib stream begins with a header whose first two bytes, read as a number, divide by 31.
    const auto b0 = static_cast<unsigned char>(data[0]);
    const bool zlibHeader = size >= 2 && (b0 & 0x0F) == 8 &&
                            ((b0 << 8) | static_cast<unsigned char>(data[1])) % 31 == 0;
    if (!zlibHeader && !state_->Open(-MAX_WBITS)) return false;
  }
  started_ = true;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  z.avail_in = static_cast<uInt>(size);
  for (;;) {
    z.next_out = reinterpret_cast<Bytef*>(state_->out.data());
    z.avail_out = static_cast<uInt>(state_->out.size());
    const int rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t have = state_->out.size() - z.avail_out;
    if (have > 0) sink(state_->out.data(), have);
    if (rc == Z_STREAM_END) {
      finished_ = true;
      return z.avail_in == 0;
    }
    if (rc == Z_BUF_ERROR && z.avail_in == 0) return true;  // all taken; more input is needed
    if (rc != Z_OK) return false;
    // Done with this piece once all of it is taken and the output did not fill up.
    if (z.avail_in == 0 && z.avail_out > 0) return true;
  }
}

TContentDecoder::~TContentDecoder() = default;

}  // namespace kova
