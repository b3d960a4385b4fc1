// Masks and names from arbitrary bytes: the input splits at its first NUL into a mask and a name.
// Compiling either succeeds or raises EMaskError; matching never crashes or runs away.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/mask.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string mask = input.substr(0, split);
  const std::string name = split == std::string::npos ? std::string() : input.substr(split + 1);
  try {
    const kova::TMask m(mask);
    m.Matches(name);
    m.Matches(mask);
  } catch (const kova::EMaskError&) {
  }
  return 0;
}
