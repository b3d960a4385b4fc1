#include <string>

#include "platform/files.h"
#include "support/error.h"

namespace kova::platform {

std::string ReadFileWhole(const std::string& path, std::int64_t most) {
  auto in = OpenFileStream(path, TFileMode::OpenRead);
  const std::int64_t size = in->Size();
  if (most >= 0 && size > most) throw EStreamError(path + " is larger than it can be");
  std::string data(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  while (got < data.size()) {
    const std::size_t n = in->Read(data.data() + got, data.size() - got);
    if (n == 0) throw EStreamError("Stream read error: " + path + " ended early");
    got += n;
  }
  return data;
}

}  // namespace kova::platform
