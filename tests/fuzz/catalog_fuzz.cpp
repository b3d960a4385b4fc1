// Catalogs from arbitrary bytes: a catalog dropped beside the launcher is read or refused, never
// read past its end, and a text it translates is filled in without reading a value it lacks.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "support/translation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kova::TCatalog catalog;
  if (!catalog.Load(std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
  if (const std::string* text =
          catalog.Find("Not enough free disk space: %s MB needed, %s MB free"))
    kova::FillPlaces(*text, {"1.0", "0.5"});
  if (const std::string* text = catalog.Find("Downloading %s"))
    kova::FillPlaces(*text, {"data\\a.pak"});
  return 0;
}
