// Times the transfer workers on one input and prints "seconds peak-rss-kib result".
//
//   kova_bench_transfer crc FILE                 checksum worker over FILE
//   kova_bench_transfer download URL TARGET      file-mode download worker
//   kova_bench_transfer unpack ARCHIVE TARGET    unpack worker

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "workers/checksum_thread.h"
#include "workers/decompress_thread.h"
#include "workers/download_thread.h"
#include "workers/transfer_session.h"

using namespace kova;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s crc FILE | download URL TARGET | unpack ARCHIVE TARGET\n",
                 argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const auto start = std::chrono::steady_clock::now();
  std::string result;
  bool ok = false;
  if (mode == "crc") {
    TChecksumThread worker(argv[2], nullptr, nullptr);
    WaitWithMessages(worker);
    char text[16];
    std::snprintf(text, sizeof text, "%08x", worker.Crc);
    result = text;
    ok = !worker.HasError();
  } else if (mode == "download" && argc > 3) {
    TTransferSession session;
    auto worker = std::make_unique<TDownloadThread>(session, argv[2], argv[3], 0, nullptr, nullptr);
    WaitWithMessages(*worker);
    worker->Finish();
    char text[16];
    std::snprintf(text, sizeof text, "%08x", worker->Crc);
    result = text;
    ok = worker->Outcome == doDownloaded && !worker->HasError();
  } else if (mode == "unpack" && argc > 3) {
    TDecompressThread worker(argv[2], argv[3], nullptr);
    WaitWithMessages(worker);
    result = worker.HasError() ? worker.ErrorMessage() : "ok";
    ok = !worker.HasError();
  } else {
    return 2;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%.6f %ld %s\n", seconds, usage.ru_maxrss, result.c_str());
  return ok ? 0 : 1;
}
