// Reads a patch list document into the record map, repeatedly, and prints the median time in
// seconds of one read (file read included).
//
//   kova_bench_patchlist FILE [ROUNDS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/patch_list.h"
#include "platform/files.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
  std::vector<double> times;
  std::size_t count = 0;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    kova::TPatchMap map;
    auto stream = kova::platform::OpenFileStream(argv[1], kova::platform::TFileMode::OpenRead);
    kova::LoadPatchList(*stream, map);
    count = map.Count();
    map.Clear(true);
    times.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  std::printf("%.6f %zu\n", times[times.size() / 2], count);
  return 0;
}
