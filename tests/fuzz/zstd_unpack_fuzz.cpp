// The unpack worker on arbitrary zstd frames (every input is given the frame's magic number):
// it refuses broken frames and windows past the cap with an error, and never writes more than
// the size it is allowed.
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
    char pattern[] = "/tmp/kova-zstd-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) std::abort();
    return std::string(made);
  }();
  constexpr std::int64_t kAllowed = 1 << 20;
  const std::string archive = dir + "/in.lzma", output = dir + "/out";
  {
    std::FILE* f = std::fopen(archive.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite("\x28\xB5\x2F\xFD", 1, 4, f);
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  ::unlink(output.c_str());
  {
    kova::TDecompressThread worker(archive, output, nullptr, kAllowed);
    kova::WaitWithMessages(worker);
  }
  if (kova::platform::FileSize(output) > kAllowed) std::abort();
  return 0;
}
