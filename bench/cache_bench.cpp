// Saves a cache of N patch-list records to the settings store and loads it back, as an update
// run does at its end and at its next start. Prints the median save and load times in seconds.
//
//   KOVA_REGISTRY=FILE kova_bench_cache [RECORDS] [ROUNDS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/options.h"
#include "core/patch_list.h"

using namespace kova;

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  TPatchMap map;
  for (int i = 0; i < records; ++i) {
    TFileItem f;
    f.FileName = "data\\pack" + std::to_string(i % 97) + "\\asset_" + std::to_string(i) + ".bin";
    f.Checksum = static_cast<std::uint32_t>(i) * 2654435761u;
    f.Size = 100000 + i;
    f.FileDate = 0x5A000000 + i;
    auto* item = new TPatchItem(f);
    item->FileName = f.FileName + ".lzma";
    item->Checksum = ~f.Checksum;
    map.Put(f.FileName, item);
  }
  const std::string key = std::string(kRegistryPath) + "bench\\PatchList";
  std::vector<double> saves, loads;
  std::size_t loaded = 0;
  for (int r = 0; r < rounds; ++r) {
    RegDeleteKeyPath(kHkeyCurrentUser, key);
    auto t0 = std::chrono::steady_clock::now();
    SavePatchListCache(kHkeyCurrentUser, key + "\\", map);
    auto t1 = std::chrono::steady_clock::now();
    TPatchMap back;
    LoadPatchListCache(kHkeyCurrentUser, key + "\\", back);
    auto t2 = std::chrono::steady_clock::now();
    loaded = back.Count();
    back.Clear(true);
    saves.push_back(std::chrono::duration<double>(t1 - t0).count());
    loads.push_back(std::chrono::duration<double>(t2 - t1).count());
  }
  map.Clear(true);
  std::sort(saves.begin(), saves.end());
  std::sort(loads.begin(), loads.end());
  std::printf("%.6f %.6f %zu\n", saves[saves.size() / 2], loads[loads.size() / 2], loaded);
  return loaded == static_cast<std::size_t>(records) ? 0 : 1;
}
