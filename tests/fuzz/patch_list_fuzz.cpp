// Patch lists and cache values from arbitrary bytes. Whatever is accepted must name files
// inside the game folder and carry sane sizes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/patch_list.h"
#include "support/error.h"
#include "support/stream.h"

namespace {

void Check(const kova::TPatchItem& item) {
  if (!kova::IsSafeRelativeName(item.FileName) ||
      !kova::IsSafeRelativeName(item.FileItem->FileName) || item.FileItem->Size < 0) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The whole input as a patch list.
  {
    kova::TMemoryStream stream(text);
    kova::TPatchMap map;
    try {
      kova::LoadPatchList(stream, map);
      for (auto it = map.Iterate(); kova::TPatchItem* item = it->CurrentValue(); it->Next())
        Check(*item);
    } catch (const std::exception&) {
    }
    map.Clear(true);
  }
  // Each line as a stored cache value.
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (std::unique_ptr<kova::TPatchItem> item =
            kova::ParseCacheValue(text.substr(start, end - start)))
      Check(*item);
    start = end + 1;
  }
  return 0;
}
