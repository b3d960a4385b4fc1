#include "workers/decompress_thread.h"

#include <lzma.h>

#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "support/aligned_buffer.h"
#include "support/error.h"
#include "support/signature.h"
#include "workers/crc32.h"
#include "workers/zstd_frame.h"

namespace kova {
namespace {

constexpr std::size_t kBufferSize = 65536;

class EDecompressError : public Exception {
 public:
  using Exception::Exception;
};

// Reads as much as asked unless the stream ends, and keeps the CRC-32 of what it read.
std::size_t ReadFully(TStream& s, void* buffer, std::size_t count, std::uint32_t& crc) {
  std::size_t got = 0;
  while (got < count) {
    const std::size_t n = s.Read(static_cast<char*>(buffer) + got, count - got);
    if (n == 0) break;
    got += n;
  }
  crc = CrcUpdate(crc, buffer, got);
  return got;
}

struct TDecoder {
  lzma_stream strm = LZMA_STREAM_INIT;
  TDecoder() = default;
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;
  ~TDecoder() { lzma_end(&strm); }
};

}  // namespace

TDecompressThread::TDecompressThread(std::string sourceName, std::string targetName,
                                     TWorkerProgressEvent onProgress, std::int64_t maxSize,
                                     bool sha256)
    : SourceName(std::move(sourceName)),
      TargetName(std::move(targetName)),
      OnProgress(std::move(onProgress)),
      MaxSize(maxSize),
      wantSha256_(sha256) {
  Start();
}

void TDecompressThread::CheckStop() const {
  if (stop_) throw EDecompressError("The unpacking was stopped.");
}

void TDecompressThread::UnpackZstd(TStream& input, TStream& output, const unsigned char* start,
                                   std::size_t startSize, std::uint32_t& inputCrc) {
  // A frame may not say how large its content is: the listed size is what progress counts to.
  Total = MaxSize >= 0 ? MaxSize : 0;
  if (OnProgress) OnProgress(SourceName, 0, Total);
  const std::int64_t step = Total / 50;
  std::int64_t nextReport = step, produced = 0;
  std::uint32_t outputCrc = kCrcInit;
  std::unique_ptr<TParallelSha256> hash;
  if (wantSha256_) hash = std::make_unique<TParallelSha256>();
  const auto write = [&](const char* data, std::size_t size) {
    const auto count = static_cast<std::int64_t>(size);
    if (MaxSize >= 0 && count > MaxSize - produced) {
      Oversized = true;
      throw EDecompressError("The archive unpacks to more than the listed size.");
    }
    CheckStop();
    output.Write(data, size);
    outputCrc = CrcUpdate(outputCrc, data, size);
    if (hash) hash->Update(data, size);
    platform::FaultPoint("unpack");
    produced += count;
    if (OnProgress && step > 0 && produced >= nextReport) {
      OnProgress(SourceName, produced, Total);
      while (nextReport <= produced) nextReport += step;
    }
  };
  TZstdDecoder decoder;
  TAlignedBuffer in(kBufferSize);
  TZstdDecoder::TResult result = decoder.Decode(start, startSize, write);
  while (result == TZstdDecoder::TResult::More) {
    const std::size_t n = ReadFully(input, in.Data(), in.Size(), inputCrc);
    if (n == 0) throw EDecompressError("Error in data stream.");  // the frame was cut short
    result = decoder.Decode(in.Data(), n, write);
  }
  if (result == TZstdDecoder::TResult::Failed) {
    // A frame that asks for a window past the cap can never be unpacked here, like one that
    // unpacks past its size: kept, it would be unpacked again at every run.
    Oversized = decoder.WindowRefused;
    throw EDecompressError(decoder.Error);
  }
  while (ReadFully(input, in.Data(), in.Size(), inputCrc) > 0) {
  }
  Flushing = true;
  output.Flush();
  if (OnProgress) OnProgress(SourceName, produced, Total);
  if (hash) Sha256 = hash->HexDigest();
  InputCrc = ~inputCrc;
  OutputCrc = ~outputCrc;
  Produced = produced;
}

void TDecompressThread::DoWork() {
  auto input = platform::OpenFileStream(SourceName, platform::TFileMode::OpenRead);
  auto output = platform::OpenFileStream(TargetName, platform::TFileMode::Create);

  std::uint32_t inputCrc = kCrcInit, outputCrc = kCrcInit;
  unsigned char header[13];
  const std::size_t started = ReadFully(*input, header, 5, inputCrc);
  if (IsZstdFrame(header, started)) {
    UnpackZstd(*input, *output, header, started, inputCrc);
    return;
  }
  if (started < 5) throw EDecompressError("Incorrect stream size.");
  const unsigned props = header[0];
  const std::uint32_t dictSize =
      static_cast<std::uint32_t>(header[1]) | (static_cast<std::uint32_t>(header[2]) << 8) |
      (static_cast<std::uint32_t>(header[3]) << 16) | (static_cast<std::uint32_t>(header[4]) << 24);
  if (props >= 225 || dictSize >= 0x80000000u)
    throw EDecompressError("Incorrect stream properties.");
  const std::size_t sizeBytes = ReadFully(*input, header + 5, 8, inputCrc);
  std::uint64_t size = 0;
  for (int i = 7; i >= 0; --i) size = (size << 8) | header[5 + i];
  if (sizeBytes < 8 || size == 0) throw EDecompressError("Can't read stream size.");
  Total = static_cast<std::int64_t>(size);
  // The file may not grow past the size the list gives it: an archive announcing more, or
  // nothing, cannot fill the disk or the memory in its name.
  if (MaxSize >= 0 && size != kUnknownSize && size > static_cast<std::uint64_t>(MaxSize)) {
    Oversized = true;
    throw EDecompressError("The archive unpacks to more than the listed size.");
  }

  lzma_options_lzma options{};
  options.lc = props % 9;
  options.lp = (props / 9) % 5;
  options.pb = props / 45;
  // The decoder takes at most four literal-context and literal-position bits together.
  if (options.lc + options.lp > 4) throw EDecompressError("Incorrect stream properties.");
  // The window need never exceed the output, so a header that announces a huge dictionary
  // for a small file cannot make the decoder reserve that much memory.
  std::uint64_t window = std::max<std::uint64_t>(dictSize, 4096);
  if (size != kUnknownSize && window > size) window = std::max<std::uint64_t>(size, 4096);
  if (MaxSize >= 0 && window > static_cast<std::uint64_t>(MaxSize))
    window = std::max<std::int64_t>(MaxSize, 4096);
  options.dict_size = static_cast<std::uint32_t>(window);
  // The end marker is accepted also where the size is known and the marker stands at its end.
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  options.ext_size_low = static_cast<std::uint32_t>(size);
  options.ext_size_high = static_cast<std::uint32_t>(size >> 32);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

  TDecoder decoder;
  const lzma_ret init = lzma_raw_decoder(&decoder.strm, filters);
  if (init == LZMA_OPTIONS_ERROR) throw EDecompressError("Incorrect stream properties.");
  if (init != LZMA_OK) throw EDecompressError("Error in data stream.");

  if (OnProgress) OnProgress(SourceName, 0, Total);
  const std::int64_t step = size == kUnknownSize ? 0 : Total / 50;
  std::int64_t nextReport = step;
  TAlignedBuffer in(kBufferSize), out(kBufferSize);
  // The hash runs beside the decoder, on a thread of its own.
  std::unique_ptr<TParallelSha256> hash;
  if (wantSha256_) hash = std::make_unique<TParallelSha256>();
  std::int64_t produced = 0;
  bool inputEnded = false;
  lzma_stream& strm = decoder.strm;
  strm.next_out = out.Data();
  strm.avail_out = out.Size();
  for (;;) {
    if (strm.avail_in == 0 && !inputEnded) {
      strm.next_in = in.Data();
      strm.avail_in = ReadFully(*input, in.Data(), in.Size(), inputCrc);
      if (strm.avail_in == 0) inputEnded = true;
    }
    const lzma_ret ret = lzma_code(&strm, inputEnded ? LZMA_FINISH : LZMA_RUN);
    const std::size_t have = out.Size() - strm.avail_out;
    const std::int64_t current = produced + static_cast<std::int64_t>(have);
    if (OnProgress && step > 0 && current >= nextReport && ret == LZMA_OK) {
      OnProgress(SourceName, current, Total);
      while (nextReport <= current) nextReport += step;
    }
    if (have > 0 && (strm.avail_out == 0 || ret != LZMA_OK)) {
      if (MaxSize >= 0 && current > MaxSize) {
        Oversized = true;
        throw EDecompressError("The archive unpacks to more than the listed size.");
      }
      CheckStop();
      output->Write(out.Data(), have);
      outputCrc = CrcUpdate(outputCrc, out.Data(), have);
      if (hash) hash->Update(out.Data(), have);
      platform::FaultPoint("unpack");
      produced = current;
      strm.next_out = out.Data();
      strm.avail_out = out.Size();
    }
    if (ret == LZMA_STREAM_END) break;
    if (ret == LZMA_OK) {
      if (inputEnded && strm.avail_in == 0 && have == 0)
        throw EDecompressError("Error in data stream.");
      continue;
    }
    if (ret == LZMA_OPTIONS_ERROR) throw EDecompressError("Incorrect stream properties.");
    if (ret == LZMA_MEM_ERROR) throw EDecompressError("Out of memory while unpacking.");
    throw EDecompressError("Error in data stream.");
  }
  // Whatever follows the stream's end belongs to the archive too: its checksum covers it.
  while (ReadFully(*input, in.Data(), in.Size(), inputCrc) > 0) {
  }
  Flushing = true;
  output->Flush();
  if (OnProgress) OnProgress(SourceName, produced, Total);
  if (hash) Sha256 = hash->HexDigest();
  InputCrc = ~inputCrc;
  OutputCrc = ~outputCrc;
  Produced = produced;
}

}  // namespace kova
