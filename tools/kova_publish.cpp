// kova-publish: turns a game folder into what the launcher downloads: OUTPUT_DIR/patchlist.xml
// and one ".lzma" archive per file, beside it in the same relative folders.
//
//   kova-publish [--codec lzma|zstd] [--level N] [--jobs N] [--chunks]
//                [--sign KEYFILE --uid UID [--serial N] [--expires DAYS]] SOURCE_DIR OUTPUT_DIR
//   kova-publish --prune OUTPUT_DIR removes the archives and chunks no list in OUTPUT_DIR names
//   kova-publish keygen KEYFILE     a new secret key (mode 0600); the public key on stdout
//   kova-publish sign KEYFILE FILE  FILE.sig, the signature of FILE as it stands
//   kova-publish sign KEYFILE OPTIONS.xml --uid UID [--serial N] [--expires DAYS]
//                [--updater BUILD --updater-serial N]
//                stamps the options document (and names the launcher build by its SHA-256),
//                then signs it
//
// With --sign the list carries its serial, the game it is for, and the SHA-256 of every file and
// archive, and patchlist.xml.sig signs it. A serial not given is the next one: one more than the
// document's before, and never less than the seconds since 1970, so a fresh output folder never
// starts over at a number a player already accepted.
//
// With --chunks every file of at least 1 MiB is also cut into content-defined chunks, each stored
// once under chunks/xx/<sha256> however many files and versions share it, and described by an
// index under chunks/index/<sha256>; the list's record names the index by its digest. A launcher
// that holds an older copy of the file fetches only the chunks it lacks; the archive stays for
// the others and as the fall-back. Chunks of earlier publications stay until --prune.
//
// With --codec zstd each archive is one zstd frame (level 19 unless --level 1-22 says otherwise;
// LZMA takes 0-9, 6 by default) and each new chunk is stored as one; the record says
// codec="zstd". It decodes several times faster, so a fast line is not held by the player's CPU.
//
// The output is deterministic: files in name order, archives from a single-threaded encoder per
// file. A second run reuses every archive whose source is unchanged (same size and CRC-32, and
// the archive on disk still has the CRC-32 the list gives it).

#include <lzma.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/document_stamp.h"
#include "core/options.h"
#include "core/patch_list.h"
#include "core/utility.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/aligned_buffer.h"
#include "support/error.h"
#include "support/signature.h"
#include "support/text.h"
#include "support/version.h"
#include "tools/publish_bundle.h"
#include "tools/publish_sign.h"
#include "tools/publish_store.h"
#include "workers/chunks.h"
#include "workers/crc32.h"
#include "workers/zstd_frame.h"

using namespace kova;
using namespace kova::publish;

int kova::publish::Usage(const std::string& message) {
  if (!message.empty()) std::fprintf(stderr, "kova-publish: %s\n", message.c_str());
  std::fprintf(
      stderr,
      "usage: kova-publish [--codec lzma|zstd] [--level N] [--jobs N] [--chunks] [--next]\n"
      "                    [--sign KEYFILE --uid UID [--serial N] [--expires DAYS]]\n"
      "                    SOURCE_DIR OUTPUT_DIR\n"
      "       kova-publish --prune OUTPUT_DIR\n"
      "       kova-publish bundle OUTPUT_DIR FILE [--from OLD_LIST]\n"
      "       kova-publish --version\n"
      "       kova-publish keygen KEYFILE\n"
      "       kova-publish sign KEYFILE FILE\n"
      "       kova-publish sign KEYFILE OPTIONS.xml --uid UID [--serial N] [--expires "
      "DAYS]\n"
      "                    [--updater BUILD --updater-serial N]\n");
  return 2;
}

namespace {

// A file this large reports how far its compression has got.
constexpr std::int64_t kLargeFile = 32 << 20;

struct TEntry {
  std::string Relative;  // with "/"
  std::string Name;      // with backslashes, as published
  std::uint32_t Crc = 0;
  std::int64_t Size = 0;
  std::uint32_t ArchiveCrc = 0;
  bool Executable = false;
  bool Reused = false;
  std::string Sha256, ArchiveSha256;  // with --sign
  std::string ChunkIndex;             // with --chunks, for a large file
  std::string Error;
};

}  // namespace

int main(int argc, char** argv) {
  // The arguments as UTF-8, as every name is held here (Windows hands `argv` in its code page).
  kova::platform::TUtf8Arguments arguments(argc, argv);
  argc = arguments.Count();
  argv = arguments.Argv();
  long levelGiven = -1;
  bool zstd = false;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::string> paths;
  bool chunks = false;
  bool nextVersion = false;
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::printf(
        "usage: kova-publish [OPTION]... SOURCE_DIR OUTPUT_DIR\n"
        "Publishes the game folder SOURCE_DIR into OUTPUT_DIR, the folder a web server serves:\n"
        "patchlist.xml and one archive per file. A second run reuses every unchanged archive.\n"
        "\n"
        "  --codec lzma|zstd   how archives are compressed (lzma by default; zstd decodes faster)\n"
        "  --level N           compression level: lzma 0-9 (6), zstd 1-22 (19)\n"
        "  --jobs N            files compressed at once (one per core by default)\n"
        "  --chunks            also cuts files of 1 MiB or more into chunks, so that a player\n"
        "                      with an older copy fetches only what changed\n"
        "  --sign KEYFILE      signs the list (patchlist.xml.sig) with the secret key in KEYFILE;\n"
        "                      needs --uid\n"
        "  --uid UID           the game the signed list is for\n"
        "  --serial N          the signed list's serial (by default one more than before)\n"
        "  --expires DAYS      the signed list is refused after DAYS days\n"
        "  --next              publishes SOURCE_DIR as the next version, for launchers to\n"
        "                      pre-load: patchlist.next.xml and the archives of what changed\n"
        "                      (under next/); the list stays as it is. A later run without\n"
        "                      --next releases it, reusing all of that\n"
        "\n"
        "       kova-publish --prune OUTPUT_DIR\n"
        "  removes the archives and chunks that no list in OUTPUT_DIR names\n"
        "       kova-publish bundle OUTPUT_DIR FILE [--from OLD_LIST]\n"
        "  writes the publication as one file (a tar archive) for players without a line to\n"
        "  the server; with --from, only what a player at OLD_LIST lacks\n"
        "       kova-publish keygen KEYFILE\n"
        "  writes a new secret key to KEYFILE and prints its public key\n"
        "       kova-publish sign KEYFILE FILE\n"
        "  writes FILE.sig, the signature of FILE as it stands\n"
        "       kova-publish sign KEYFILE OPTIONS.xml --uid UID [--serial N] [--expires DAYS]\n"
        "                    [--updater BUILD --updater-serial N]\n"
        "  stamps the options document for the game UID (naming the launcher's build BUILD by\n"
        "  its SHA-256), then signs it\n"
        "       kova-publish --version\n"
        "\n"
        "Exit status: 0 when done; 1 when a file could not be read or written; 2 for a command\n"
        "line it cannot use.\n");
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("kova-publish %s\n", KOVA_VERSION);
    return 0;
  }
  if (argc >= 2 && std::string(argv[1]) == "--prune") {
    if (argc != 3) return Usage("--prune needs OUTPUT_DIR alone");
    return Prune(argv[2]);
  }
  if (argc >= 2 && std::string(argv[1]) == "bundle") {
    if (argc == 4) return WriteBundle(argv[2], argv[3], "");
    if (argc == 6 && std::string(argv[4]) == "--from")
      return WriteBundle(argv[2], argv[3], argv[5]);
    return Usage("bundle needs OUTPUT_DIR FILE [--from OLD_LIST]");
  }
  if (argc >= 2 && std::string(argv[1]) == "keygen") {
    if (argc != 3) return Usage("keygen needs KEYFILE");
    return KeyGen(argv[2]);
  }
  const bool signing = argc >= 2 && std::string(argv[1]) == "sign";
  std::string keyPath;
  TStampArgs stamp;
  for (int i = signing ? 4 : 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--chunks" && !signing) {
      chunks = true;
    } else if (arg == "--next" && !signing) {
      nextVersion = true;
    } else if (arg == "--codec" && i + 1 < argc && !signing) {
      const std::string codec = argv[++i];
      if (codec != "lzma" && codec != "zstd") return Usage("--codec must be lzma or zstd");
      zstd = codec == "zstd";
    } else if (arg == "--sign" && i + 1 < argc && !signing) {
      keyPath = argv[++i];
    } else if (arg == "--uid" && i + 1 < argc) {
      stamp.Uid = argv[++i];
      if (stamp.Uid.empty()) return Usage("--uid needs the game's uid");
    } else if ((arg == "--serial" || arg == "--updater-serial") && i + 1 < argc) {
      std::int64_t& target = arg == "--serial" ? stamp.Serial : stamp.UpdaterSerial;
      if (!ParseSerial(argv[++i], target))
        return Usage(arg + " needs a number from 0 to " + std::to_string(kMaxSerial));
    } else if (arg == "--expires" && i + 1 < argc) {
      if (!ParseSerial(argv[++i], stamp.ExpiresDays) || stamp.ExpiresDays > 36500)
        return Usage("--expires needs a number of days up to 36500");
    } else if (arg == "--updater" && i + 1 < argc && signing) {
      stamp.Updater = argv[++i];
    } else if ((arg == "--level" || arg == "--jobs") && i + 1 < argc) {
      char* end = nullptr;
      const long v = std::strtol(argv[++i], &end, 10);
      if (*end != '\0') return Usage(arg + " needs a number");
      if (arg == "--level") {
        if (v < 0 || v > 22) return Usage("--level must be 0 to 9 (lzma) or 1 to 22 (zstd)");
        levelGiven = v;
      } else {
        if (v < 1 || v > 256) return Usage("--jobs must be 1 to 256");
        jobs = static_cast<unsigned>(v);
      }
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else {
      paths.push_back(arg);
    }
  }
  if (signing) {
    if (argc < 4 || !paths.empty()) return Usage("sign needs KEYFILE and FILE");
    return SignFile(argv[2], argv[3], stamp);
  }
  if (paths.size() != 2) return Usage("SOURCE_DIR and OUTPUT_DIR are needed");
  if (levelGiven >= 0 && (zstd ? levelGiven < 1 : levelGiven > 9))
    return Usage("--level must be 0 to 9 (lzma) or 1 to 22 (zstd)");
  const auto level = static_cast<std::uint32_t>(levelGiven >= 0 ? levelGiven : zstd ? 19 : 6);
  if (stamp.Any() && keyPath.empty()) return Usage("--uid, --serial and --expires go with --sign");
  if (!keyPath.empty() && stamp.Uid.empty())
    return Usage("--sign needs --uid: a signed list names the game it is for");
  std::int64_t& serial = stamp.Serial;
  std::string secretKey;
  if (!keyPath.empty()) {
    try {
      secretKey = ReadSecretKey(keyPath);
    } catch (const std::exception& e) {
      return Usage(e.what());
    }
  }
  const std::string source = platform::AbsolutePath(paths[0]);
  if (source.empty() || !platform::DirectoryExists(source)) return Usage("no folder " + paths[0]);
  const std::string output = platform::AbsolutePath(paths[1]);
  if (output.empty()) return Usage("cannot create " + paths[1]);
  // The publication must not be read back as the game: an output folder that is the source, or
  // that a link leads into it, would list its own archives and list as game files. (One named
  // inside the source is left out of what is published.) Judged before anything is made.
  std::string realOutput, rest;
  for (std::string at = output; realOutput.empty() && !at.empty();) {
    realOutput = platform::RealPath(at);
    if (!realOutput.empty()) break;
    const std::size_t slash = at.find_last_of('/');
    if (slash == std::string::npos || slash == 0) break;
    rest = at.substr(slash) + rest;
    at.resize(slash);
  }
  realOutput += rest;
  const std::string realSource = platform::RealPath(source);
  const auto within = [](const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size() + 1, folder + "/") == 0;
  };
  if (!realSource.empty() && realOutput == realSource)
    return Usage("OUTPUT_DIR is SOURCE_DIR: the publication would hold its own archives");
  if (!realSource.empty() && within(realOutput, realSource) && !within(output, source))
    return Usage("OUTPUT_DIR " + paths[1] + " leads into SOURCE_DIR through a link");
  if (!platform::ForceDirectories(output)) return Usage("cannot create " + paths[1]);

  // Files in name order; names the launcher would refuse are reported, not published.
  std::vector<TEntry> entries;
  std::map<std::string, std::string> folded;  // upper-case name -> first name
  int refused = 0;
  std::vector<std::string> relatives, links;
  if (!platform::ListFiles(source, relatives, links)) return Usage("cannot read " + paths[0]);
  for (const std::string& link : links) {
    std::fprintf(stderr, "kova-publish: skipped symbolic link %s/%s\n", source.c_str(),
                 link.c_str());
  }
  // An output folder inside the source is not published into itself.
  if (output.size() > source.size() && output.compare(0, source.size() + 1, source + "/") == 0) {
    const std::string inside = output.substr(source.size() + 1) + "/";
    relatives.erase(std::remove_if(relatives.begin(), relatives.end(),
                                   [&inside](const std::string& r) {
                                     return r.compare(0, inside.size(), inside) == 0;
                                   }),
                    relatives.end());
  }
  std::sort(relatives.begin(), relatives.end());
  for (const std::string& rel : relatives) {
    std::string name = rel;
    std::replace(name.begin(), name.end(), '/', '\\');
    const std::string why =
        rel.find('\\') != std::string::npos ? "it holds a backslash"
        : !IsSafeRelativeName(name)         ? "the launcher would refuse it"
        : folded.count(UpperCaseAscii(name))
            ? "it differs from " + folded[UpperCaseAscii(name)] + " only in letter case"
            : "";
    if (!why.empty()) {
      std::fprintf(stderr, "kova-publish: not published: %s (%s)\n", rel.c_str(), why.c_str());
      ++refused;
      continue;
    }
    folded[UpperCaseAscii(name)] = name;
    TEntry entry;
    entry.Relative = rel;
    entry.Name = name;
    entries.push_back(entry);
  }

  // What the list and the next list published, to reuse unchanged archives. The next version's
  // archives lie under next/: a changed file's archive keeps the name of the one the list names
  // until the release, which moves it there.
  TPatchMap previous, staged;
  std::vector<TRemovedFile> previousRemoved;
  std::int64_t previousSerial = -1;
  const std::string nextList = output + "/" + kNextListName;
  const auto readList = [&](const std::string& path, TPatchMap& map,
                            std::vector<TRemovedFile>* removedOut) {
    try {
      if (!platform::FileExists(path)) return;
      auto in = platform::OpenFileStream(path, platform::TFileMode::OpenRead);
      TDocumentStamp read;
      LoadPatchList(*in, map, &read, removedOut);
      previousSerial = std::max(previousSerial, read.Serial);
    } catch (const std::exception&) {
      map.Clear(true);
    }
  };
  readList(output + "/patchlist.xml", previous, &previousRemoved);
  readList(nextList, staged, nullptr);
  const bool releasing = !nextVersion && staged.Count() > 0;

  TChunkClaims claims;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::mutex print;
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  auto work = [&] {
    for (std::size_t i; (i = next++) < entries.size();) {
      TEntry& e = entries[i];
      const std::string src = source + "/" + e.Relative;
      std::string archive = output + "/" + e.Relative + ".lzma";
      const std::string nextArchive = output + "/" + kNextFolder + e.Relative + ".lzma";
      e.Executable = platform::IsExecutableFile(src);
      if (!FileCrc(src, e.Crc, e.Size)) {
        e.Error = "cannot read it";
      } else {
        std::uint32_t onDisk = 0;
        std::int64_t archiveSize = 0;
        const auto reusable = [&](const TPatchItem* record, const std::string& at) {
          return record && record->FileItem->Size == e.Size &&
                 record->FileItem->Checksum == e.Crc && record->Codec == (zstd ? "zstd" : "") &&
                 FileCrc(at, onDisk, archiveSize) && onDisk == record->Checksum;
        };
        const TPatchItem* old = previous.Get(e.Name);
        e.Reused = reusable(old, archive);
        if (!e.Reused && (nextVersion || releasing)) {
          // The next version's own archive: where a --next run made it, and where the release
          // takes it from, in one rename (the list's archive of the old content goes).
          old = staged.Get(e.Name);
          e.Reused = reusable(old, nextArchive);
          if (!nextVersion && e.Reused && !platform::MoveFileReplacing(nextArchive, archive))
            e.Error = "cannot move " + nextArchive + " to " + archive;
          if (nextVersion) archive = nextArchive;
        }
        const std::string oldIndex = old ? old->FileItem->ChunkIndex : std::string();
        // A large file's chunks are cut and stored while its archive is made: a game's largest
        // files would otherwise take twice as long.
        std::future<TChunkIndex> cut;
        if (chunks && e.Size >= kChunkedFileMin) {
          if (e.Reused && !oldIndex.empty() &&
              platform::FileExists(output + "/" + ChunkIndexPath(oldIndex)))
            e.ChunkIndex = oldIndex;
          else
            cut = std::async(std::launch::async, StoreChunks, src, output, level, zstd,
                             std::ref(claims));
        }
        if (e.Reused) {
          e.ArchiveCrc = onDisk;
        } else {
          platform::ForceDirectories(archive.substr(0, archive.rfind('/')));
          // A large file says how far it has got: on a terminal in the progress line, else a
          // line every few seconds. It takes minutes where the others take moments.
          TReadProgress progress;
          auto reported = std::chrono::steady_clock::now();
          if (e.Size >= kLargeFile)
            progress = [&](std::int64_t read) {
              const auto now = std::chrono::steady_clock::now();
              if (now - reported <
                  (terminal ? std::chrono::milliseconds(250) : std::chrono::milliseconds(5000)))
                return;
              reported = now;
              const int percent = static_cast<int>(read * 100 / e.Size);
              std::lock_guard<std::mutex> lock(print);
              if (terminal)
                std::fprintf(stderr, "\r\033[K[%zu/%zu] %s %d%%", done.load() + 1, entries.size(),
                             e.Relative.c_str(), percent);
              else
                std::fprintf(stderr, "compressing %s: %d%% of %lld MB\n", e.Relative.c_str(),
                             percent, static_cast<long long>(e.Size >> 20));
              std::fflush(stderr);
            };
          if (zstd)
            CompressZstd(src, archive, e.Size, static_cast<int>(level), e.ArchiveCrc, e.Error,
                         progress, e.Size >= kLargeFile ? static_cast<int>(jobs) : 1);
          else
            Compress(src, archive, e.Size, level, e.ArchiveCrc, e.Error, progress);
        }
        if (cut.valid()) {
          try {
            TChunkIndex index = cut.get();
            index.ArchiveSize = platform::FileSize(archive);
            // The index stays LZMA-coded whatever the codec: it is small, and read once.
            if (e.Error.empty()) e.ChunkIndex = WriteChunkIndex(index, output, zstd ? 6 : level);
          } catch (const std::exception& error) {
            if (e.Error.empty()) e.Error = error.what();
          }
        }
        if (!secretKey.empty() && e.Error.empty()) {
          try {
            e.Sha256 = FileSha256(src);
            e.ArchiveSha256 = FileSha256(archive);
          } catch (const std::exception& error) {
            e.Error = error.what();
          }
        }
      }
      const std::size_t n = ++done;
      std::lock_guard<std::mutex> lock(print);
      if (!e.Error.empty()) {
        std::fprintf(stderr, "%skova-publish: %s: %s\n", terminal ? "\r\033[K" : "",
                     e.Relative.c_str(), e.Error.c_str());
      } else if (terminal) {
        std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", n, entries.size(), e.Relative.c_str());
      } else {
        std::fprintf(stderr, "[%zu/%zu] %s %s\n", n, entries.size(),
                     e.Reused ? "reused" : "compressed", e.Relative.c_str());
      }
      std::fflush(stderr);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned j = 1;
       j <
       std::min<unsigned>(jobs, static_cast<unsigned>(std::max<std::size_t>(entries.size(), 1)));
       ++j)
    pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  // The files of the previous list that left SOURCE_DIR, and those it marked already: the list
  // marks them removed, with the content each had, so that launchers remove what they installed
  // and nothing else.
  std::vector<TRemovedFile> removed;
  {
    std::set<std::string> published, marked;
    for (const TEntry& e : entries) published.insert(e.Name);
    auto mark = [&](const TRemovedFile& file) {
      char key[32];
      std::snprintf(key, sizeof key, "|%08X|%lld", file.Checksum,
                    static_cast<long long>(file.Size));
      if (!published.count(file.FileName) && marked.insert(file.FileName + key).second)
        removed.push_back(file);
    };
    for (auto it = previous.Iterate(); const TPatchItem* item = it->CurrentValue(); it->Next())
      mark({item->FileItem->FileName, item->FileItem->Checksum, item->FileItem->Size});
    for (const TRemovedFile& file : previousRemoved) mark(file);
  }
  previous.Clear(true);
  staged.Clear(true);
  if (terminal) std::fprintf(stderr, "\r\033[K");

  int failed = 0;
  if (!secretKey.empty() && serial < 0) serial = NextSerial(previousSerial);
  // The next list is a document of its own kind: no launcher takes it for the list.
  const std::string top = nextVersion ? "nextlist" : "list";
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<" + top;
  if (!secretKey.empty()) {
    xml += " serial=\"" + std::to_string(serial) + "\" uid=\"" + XmlEscape(stamp.Uid) + "\"";
    if (stamp.ExpiresDays >= 0) xml += " expires=\"" + ExpiryAttr(stamp.ExpiresDays) + "\"";
  }
  xml += ">\n";
  std::size_t reused = 0;
  for (const TEntry& e : entries) {
    if (!e.Error.empty()) {
      ++failed;
      continue;
    }
    reused += e.Reused;
    char numbers[128];
    // "executable" marks a program to run; launchers that do not know it ignore it.
    std::snprintf(numbers, sizeof numbers, "\" original=\"%08X\" size=\"%lld\" checksum=\"%08X\"%s",
                  e.Crc, static_cast<long long>(e.Size), e.ArchiveCrc,
                  e.Executable ? " executable=\"1\"" : "");
    xml += "  <archive filename=\"" + XmlEscape(e.Name) + numbers;
    if (!e.ChunkIndex.empty()) xml += " chunks=\"" + e.ChunkIndex + "\"";
    // Launchers tell the codec by the archive's first bytes; the record says it for the others.
    if (zstd) xml += " codec=\"zstd\"";
    if (!secretKey.empty())
      xml += " sha256=\"" + e.Sha256 + "\" archive_sha256=\"" + e.ArchiveSha256 + "\"";
    xml += "/>\n";
  }
  for (const TRemovedFile& file : removed) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "\" original=\"%08X\" size=\"%lld\"/>\n", file.Checksum,
                  static_cast<long long>(file.Size));
    xml += "  <removed filename=\"" + XmlEscape(file.FileName) + numbers;
  }
  xml += "</" + top + ">\n";
  const std::string list = nextVersion ? nextList : output + "/patchlist.xml";
  try {
    WriteFileWhole(list, xml);
    if (!secretKey.empty()) WriteSignature(list, xml, secretKey);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova-publish: cannot write %s: %s\n", list.c_str(), e.what());
    return 1;
  }
  // Released: the next list and what is left of its archives go (launchers then remove their
  // stage). A failed file keeps them, for the next run to reuse.
  if (releasing && failed == 0) {
    platform::RemoveFile(nextList + ".sig");
    platform::RemoveFile(nextList);
    RemoveTree(output + "/" + kNextFolder);
  }
  std::fprintf(
      stderr,
      "kova-publish: %zu files published (%zu archives reused), %d not published, %d failed\n",
      entries.size() - static_cast<std::size_t>(failed), reused, refused, failed);
  return failed == 0 && refused == 0 ? 0 : 1;
}
