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
    char pattern[] = "/dev/shm/kova-unpack-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) std::abort();
    return std::string(made);
  }();
  const std::string archive = dir + "/in.lzma", output = dir + "/out";
  {
    std::FILE* f = std::fopen(archive.c_str(), "wb");
    if (!f) std::abort();
    if (size) std::fwrite(data, 1, size, f);
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
