// The unpack worker on arbitrary archives: it refuses bad headers and broken data with an error,
// and never writes more than the size its header announces.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "workers/decompress_thread.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = [] {
    char pattern[] = "/tmp/kova-unpack-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) std::abort();
    return std::string(made);
  }();
  const std::string archive = dir + "/in.lzma", output = dir + "/out";
  std::string bytes(reinterpret_cast<const char*>(data), size);
  // A dictionary the header announces is reserved whole before the first byte is decoded; the
  // worker accepts up to 2 GiB. Reserving that under the sanitizers takes longer than decoding,
  // so dictionaries over 1 MiB that the worker would accept are fuzzed at 1 MiB; the refused
  // ones (2 GiB and more) stay as they are.
  if (bytes.size() >= 5) {
    const std::uint32_t dict =
        static_cast<std::uint8_t>(bytes[1]) | (static_cast<std::uint8_t>(bytes[2]) << 8) |
        (static_cast<std::uint8_t>(bytes[3]) << 16) |
        (static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[4])) << 24);
    if (dict > (1u << 20) && dict < 0x80000000u) {
      bytes[1] = bytes[2] = bytes[4] = 0;
      bytes[3] = 0x10;
    }
  }
  {
    std::FILE* f = std::fopen(archive.c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  ::unlink(output.c_str());
  bool failed;
  {
    kova::TDecompressThread worker(archive, output, nullptr);
    kova::WaitWithMessages(worker);
    failed = worker.HasError();
  }
  std::uint64_t announced = 0;
  if (size >= 13) {
    for (int i = 0; i < 8; ++i) announced |= static_cast<std::uint64_t>(data[5 + i]) << (8 * i);
  }
  const std::int64_t written = kova::platform::FileSize(output);
  if (size >= 13 && announced != kova::TDecompressThread::kUnknownSize && written > 0 &&
      static_cast<std::uint64_t>(written) > announced) {
    std::abort();
  }
  if (!failed && size < 13) std::abort();  // a header-less archive cannot unpack
  return 0;
}
