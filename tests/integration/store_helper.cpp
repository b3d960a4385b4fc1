// A second process for the settings-store tests: writes, reads and caches through the same
// functions the launcher uses.
//
//   kova_store_helper write PATH TEXT      kova_store_helper read PATH
//   kova_store_helper save-cache UID N     kova_store_helper load-cache UID
//   kova_store_helper hold-lock SECONDS    (keeps a write transaction open)

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/options.h"
#include "core/patch_list.h"
#include "core/registry.h"
#include "platform/clock.h"
#include "platform/settings_store.h"

using namespace kova;

namespace {

std::string CachePrefix(const std::string& uid) {
  return std::string(kRegistryPath) + uid + "\\PatchList\\";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string command = argv[1];
  if (command == "write" && argc == 4)
    return RegWriteString(kHkeyCurrentUser, argv[2], argv[3]) ? 0 : 1;
  if (command == "read" && argc == 3) {
    std::string text;
    if (!RegReadString(kHkeyCurrentUser, argv[2], text)) return 1;
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  if (command == "save-cache" && argc == 4) {
    TPatchMap map;
    const int n = std::atoi(argv[3]);
    for (int i = 0; i < n; ++i) {
      TFileItem f;
      f.FileName = "data\\pack" + std::to_string(i % 97) + "\\file" + std::to_string(i) + ".bin";
      f.Checksum = static_cast<std::uint32_t>(i) * 2654435761u;
      f.Size = static_cast<std::int64_t>(i) * 4099 + (i % 3 == 0 ? 5000000000 : 0);
      f.FileDate = i % 11 == 0 ? -1 : i;
      auto* item = new TPatchItem(f);
      item->FileName = f.FileName + ".lzma";
      item->Checksum = ~f.Checksum;
      map.Put(f.FileName, item);
    }
    RegDeleteKeyPath(kHkeyCurrentUser,
                     CachePrefix(argv[2]).substr(0, CachePrefix(argv[2]).size() - 1));
    SavePatchListCache(kHkeyCurrentUser, CachePrefix(argv[2]), map);
    for (auto it = map.Iterate(); it->CurrentValue(); it->Next())
      std::printf("%s\n", FormatCacheValue(*it->CurrentValue()).c_str());
    map.Clear(true);
    return 0;
  }
  if (command == "load-cache" && argc == 3) {
    TPatchMap map;
    LoadPatchListCache(kHkeyCurrentUser, CachePrefix(argv[2]), map);
    for (auto it = map.Iterate(); it->CurrentValue(); it->Next())
      std::printf("%s\n", FormatCacheValue(*it->CurrentValue()).c_str());
    map.Clear(true);
    return 0;
  }
  if (command == "hold-lock" && argc == 3) {
    platform::TRegBatch batch;
    RegWriteString(kHkeyCurrentUser, "Software\\Lock\\held", "1");
    std::printf("locked\n");
    std::fflush(stdout);
    platform::SleepMilliseconds(static_cast<unsigned>(std::atoi(argv[2]) * 1000));
    return 0;
  }
  return 2;
}
