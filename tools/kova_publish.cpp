// kova-publish: turns a game folder into what the launcher downloads: OUTPUT_DIR/patchlist.xml
// and one ".lzma" archive per file, beside it in the same relative folders.
//
//   kova-publish [--codec lzma|zstd] [--level N] [--jobs N] [--chunks]
//                [--sign KEYFILE --uid UID [--serial N] [--expires DAYS]] SOURCE_DIR OUTPUT_DIR
//   kova-publish --prune OUTPUT_DIR removes the chunks no list in OUTPUT_DIR refers to
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
#include "support/aligned_buffer.h"
#include "support/error.h"
#include "support/signature.h"
#include "support/text.h"
#include "support/version.h"
#include "workers/chunks.h"
#include "workers/crc32.h"
#include "workers/zstd_frame.h"

using namespace kova;

namespace {

constexpr std::size_t kBlock = 1 << 20;

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

int Usage(const std::string& message) {
  if (!message.empty()) std::fprintf(stderr, "kova-publish: %s\n", message.c_str());
  std::fprintf(stderr,
               "usage: kova-publish [--codec lzma|zstd] [--level N] [--jobs N] [--chunks]\n"
               "                    [--sign KEYFILE --uid UID [--serial N] [--expires DAYS]]\n"
               "                    SOURCE_DIR OUTPUT_DIR\n"
               "       kova-publish --prune OUTPUT_DIR\n"
               "       kova-publish --version\n"
               "       kova-publish keygen KEYFILE\n"
               "       kova-publish sign KEYFILE FILE\n"
               "       kova-publish sign KEYFILE OPTIONS.xml --uid UID [--serial N] [--expires "
               "DAYS]\n"
               "                    [--updater BUILD --updater-serial N]\n");
  return 2;
}

std::string FileSha256(const std::string& path) {
  auto in = platform::OpenFileStream(path, platform::TFileMode::OpenRead);
  TAlignedBuffer buffer(kBlock);
  TSha256 hash;
  for (std::size_t n; (n = in->Read(buffer.Data(), kBlock)) > 0;) hash.Update(buffer.Data(), n);
  return hash.HexDigest();
}

// The secret key in KEYFILE (base64 of its 64 bytes); raises when there is none.
std::string ReadSecretKey(const std::string& path) {
  std::string key;
  if (!FromBase64(platform::ReadFileWhole(path), key) || key.size() != 64)
    throw EStreamError(path + " holds no secret key");
  return key;
}

// Writes FILE.sig beside FILE; raises on failure.
void WriteSignature(const std::string& file, const std::string& data, const std::string& key) {
  const std::string text = SignMessage(data, key) + "\n";
  WriteFileWhole(file + ".sig", text);
}

int KeyGen(const std::string& path) {
  std::string secret, pub;
  MakeKeyPair(secret, pub);
  if (!platform::CreatePrivateFile(path, ToBase64(secret) + "\n")) {
    std::fprintf(stderr, "kova-publish: cannot create %s (an existing key is never overwritten)\n",
                 path.c_str());
    return 1;
  }
  std::printf("%s\n", ToBase64(pub).c_str());
  return 0;
}

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The serial a document gets when none is given: the next after `previous`, and never below the
// current time in seconds.
std::int64_t NextSerial(std::int64_t previous) {
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  return std::max(previous + 1, now);
}

std::string ExpiryAttr(std::int64_t days) {
  return days < 0 ? std::string() : IsoDay(TodayUtc() + days);
}

// What is stamped on the top element of a signed document.
struct TStampArgs {
  std::string Uid;
  std::int64_t Serial = -1;
  std::int64_t ExpiresDays = -1;
  std::string Updater;
  std::int64_t UpdaterSerial = -1;
  bool Any() const {
    return !Uid.empty() || Serial >= 0 || ExpiresDays >= 0 || !Updater.empty() ||
           UpdaterSerial >= 0;
  }
};

// Sets attributes on the first start tag of `element` in `text`, replacing those of the same
// names; false when there is no such tag.
bool SetTagAttributes(std::string& text, const std::string& element,
                      const std::vector<std::pair<std::string, std::string>>& values) {
  std::size_t at = 0;
  for (;; ++at) {
    at = text.find("<" + element, at);
    if (at == std::string::npos) return false;
    const char after = at + 1 + element.size() < text.size() ? text[at + 1 + element.size()] : 0;
    if (after == '>' || after == '/' || after == ' ' || after == '\t' || after == '\r' ||
        after == '\n')
      break;
  }
  // The tag's end, past quoted values; its attributes kept unless named again.
  std::size_t pos = at + 1 + element.size();
  std::string kept;
  for (;;) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos >= text.size()) return false;
    if (text[pos] == '>' || text[pos] == '/') break;
    const std::size_t nameStart = pos;
    while (pos < text.size() && text[pos] != '=' && text[pos] != '>' &&
           !std::isspace(static_cast<unsigned char>(text[pos])))
      ++pos;
    const std::string name = text.substr(nameStart, pos - nameStart);
    while (pos < text.size() &&
           (text[pos] == '=' || std::isspace(static_cast<unsigned char>(text[pos]))))
      ++pos;
    if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\'')) return false;
    const std::size_t close = text.find(text[pos], pos + 1);
    if (close == std::string::npos) return false;
    const std::string attribute = text.substr(nameStart, close + 1 - nameStart);
    pos = close + 1;
    bool replaced = false;
    for (const auto& value : values) replaced = replaced || value.first == name;
    if (!replaced) kept += " " + attribute;
  }
  for (const auto& [name, value] : values) kept += " " + name + "=\"" + value + "\"";
  text.replace(at + 1 + element.size(), pos - (at + 1 + element.size()), kept);
  return true;
}

int SignFile(const std::string& keyPath, const std::string& file, const TStampArgs& stamp) {
  try {
    const std::string key = ReadSecretKey(keyPath);
    std::string data = platform::ReadFileWhole(file);
    if (stamp.Any()) {
      if (stamp.Uid.empty()) return Usage("stamping an options document needs --uid");
      if (stamp.Updater.empty() != (stamp.UpdaterSerial < 0))
        return Usage("--updater and --updater-serial go together");
      TMemoryStream in(data);
      TOptions previous;
      previous.LoadFromStream(in);
      if (previous.Stamp.Kind != "options") return Usage(file + " is no options document");
      std::vector<std::pair<std::string, std::string>> values{
          {"serial",
           std::to_string(stamp.Serial >= 0 ? stamp.Serial : NextSerial(previous.Stamp.Serial))},
          {"uid", XmlEscape(stamp.Uid)}};
      if (stamp.ExpiresDays >= 0) values.emplace_back("expires", ExpiryAttr(stamp.ExpiresDays));
      if (!SetTagAttributes(data, "options", values))
        return Usage("cannot find the options element of " + file);
      if (!stamp.Updater.empty() &&
          !SetTagAttributes(data, "updater",
                            {{"sha256", FileSha256(stamp.Updater)},
                             {"serial", std::to_string(stamp.UpdaterSerial)}}))
        return Usage(file + " names no updater");
      WriteFileWhole(file, data);
    }
    WriteSignature(file, data, key);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova-publish: %s\n", e.what());
    return 1;
  }
  return 0;
}

// CRC-32 and size of a whole file.
bool FileCrc(const std::string& path, std::uint32_t& crc, std::int64_t& size) {
  try {
    auto in = platform::OpenFileStream(path, platform::TFileMode::OpenRead);
    TAlignedBuffer buffer(kBlock);
    std::uint32_t c = kCrcInit;
    size = 0;
    for (std::size_t n; (n = in->Read(buffer.Data(), buffer.Size())) > 0;) {
      c = CrcUpdate(c, buffer.Data(), n);
      size += static_cast<std::int64_t>(n);
    }
    crc = ~c;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Writes the LZMA-Alone archive of `source` to `target` through a temporary name; returns the
// archive's CRC-32. The header carries the size; an empty file, whose size 0 the header cannot
// carry, gets the unknown size and an end marker instead.
bool Compress(const std::string& source, const std::string& target, std::int64_t size,
              std::uint32_t level, std::uint32_t& archiveCrc, std::string& error) {
  lzma_options_lzma options{};
  if (lzma_lzma_preset(&options, level)) {
    error = "bad compression level";
    return false;
  }
  const bool empty = size == 0;
  const std::uint64_t headerSize = empty ? ~0ull : static_cast<std::uint64_t>(size);
  lzma_filter filters[2] = {{empty ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA1EXT, &options},
                            {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&strm, filters) != LZMA_OK) {
    error = "cannot start the encoder";
    return false;
  }
  const std::string temp = target + kWholeWriteSuffix;
  bool ok = true;
  try {
    auto in = platform::OpenFileStream(source, platform::TFileMode::OpenRead);
    auto out = platform::OpenFileStream(temp, platform::TFileMode::Create);
    unsigned char header[13];
    header[0] = static_cast<unsigned char>((options.pb * 5 + options.lp) * 9 + options.lc);
    for (int i = 0; i < 4; ++i)
      header[1 + i] = static_cast<unsigned char>(options.dict_size >> (8 * i));
    for (int i = 0; i < 8; ++i) header[5 + i] = static_cast<unsigned char>(headerSize >> (8 * i));
    out->Write(header, sizeof header);
    std::uint32_t crc = CrcUpdate(kCrcInit, header, sizeof header);
    TAlignedBuffer inBuf(kBlock), outBuf(kBlock);
    bool inputEnded = false;
    strm.next_out = outBuf.Data();
    strm.avail_out = outBuf.Size();
    for (;;) {
      if (strm.avail_in == 0 && !inputEnded) {
        const std::size_t n = in->Read(inBuf.Data(), inBuf.Size());
        strm.next_in = inBuf.Data();
        strm.avail_in = n;
        inputEnded = n == 0;
      }
      const lzma_ret ret = lzma_code(&strm, inputEnded ? LZMA_FINISH : LZMA_RUN);
      if (strm.avail_out == 0 || ret == LZMA_STREAM_END) {
        const std::size_t have = outBuf.Size() - strm.avail_out;
        out->Write(outBuf.Data(), have);
        crc = CrcUpdate(crc, outBuf.Data(), have);
        strm.next_out = outBuf.Data();
        strm.avail_out = outBuf.Size();
      }
      if (ret == LZMA_STREAM_END) break;
      if (ret != LZMA_OK) {
        error = "the encoder failed";
        ok = false;
        break;
      }
    }
    archiveCrc = ~crc;
    if (strm.total_in != static_cast<std::uint64_t>(size)) {
      error = "the file changed while it was read";
      ok = false;
    }
  } catch (const std::exception& e) {
    error = e.what();
    ok = false;
  }
  lzma_end(&strm);
  if (ok && !platform::MoveFileReplacing(temp, target)) {
    error = "cannot write " + target;
    ok = false;
  }
  if (!ok) platform::RemoveFile(temp);
  return ok;
}

// Writes the zstd archive (one frame, its content size and checksum in it, the window capped as
// launchers accept) of `source` to `target` through a temporary name; returns its CRC-32.
bool CompressZstd(const std::string& source, const std::string& target, std::int64_t size,
                  int level, std::uint32_t& archiveCrc, std::string& error) {
  const std::string temp = target + kWholeWriteSuffix;
  ZSTD_CCtx* context = ZSTD_createCCtx();
  bool ok = context != nullptr;
  if (!ok) error = "cannot start the encoder";
  try {
    if (ok) {
      // Every level up to 22 keeps its window within 2^27, what launchers accept.
      ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
      ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
      ZSTD_CCtx_setPledgedSrcSize(context, static_cast<unsigned long long>(size));
      auto in = platform::OpenFileStream(source, platform::TFileMode::OpenRead);
      auto out = platform::OpenFileStream(temp, platform::TFileMode::Create);
      std::uint32_t crc = kCrcInit;
      TAlignedBuffer inBuf(kBlock), outBuf(ZSTD_CStreamOutSize());
      std::int64_t read = 0;
      for (bool last = false; ok && !last;) {
        const std::size_t n = in->Read(inBuf.Data(), inBuf.Size());
        read += static_cast<std::int64_t>(n);
        last = n == 0;
        ZSTD_inBuffer input{inBuf.Data(), n, 0};
        for (bool finished = false; !finished;) {
          ZSTD_outBuffer output{outBuf.Data(), outBuf.Size(), 0};
          const std::size_t left =
              ZSTD_compressStream2(context, &output, &input, last ? ZSTD_e_end : ZSTD_e_continue);
          if (ZSTD_isError(left)) {
            error = ZSTD_getErrorName(left);
            ok = false;
            break;
          }
          out->Write(outBuf.Data(), output.pos);
          crc = CrcUpdate(crc, outBuf.Data(), output.pos);
          finished = last ? left == 0 : input.pos == input.size;
        }
      }
      archiveCrc = ~crc;
      if (ok && read != size) {
        error = "the file changed while it was read";
        ok = false;
      }
    }
  } catch (const std::exception& e) {
    error = e.what();
    ok = false;
  }
  ZSTD_freeCCtx(context);
  if (ok && !platform::MoveFileReplacing(temp, target)) {
    error = "cannot write " + target;
    ok = false;
  }
  if (!ok) platform::RemoveFile(temp);
  return ok;
}

// The chunks being written by one of the workers: two files that share a chunk must not write
// it at once through the same temporary name.
struct TChunkClaims {
  std::mutex Mutex;
  std::set<std::string> Claimed;
  bool Claim(const std::string& hex) {
    std::lock_guard<std::mutex> lock(Mutex);
    return Claimed.insert(hex).second;
  }
};

// Cuts `source` into chunks stored under `output` (those already there are kept as they are);
// returns its index, without the archive's size.
TChunkIndex StoreChunks(const std::string& source, const std::string& output, std::uint32_t level,
                        bool zstd, TChunkClaims& claims) {
  auto in = platform::OpenFileStream(source, platform::TFileMode::OpenRead);
  TChunkIndex index;
  TChunkCutter cutter(*in);
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  while (cutter.Next(data, size)) {
    TChunkEntry entry;
    entry.Digest = ChunkDigest(data, size);
    entry.Offset = cutter.Offset();
    entry.Size = static_cast<std::uint32_t>(size);
    const std::string hex = DigestHex(entry.Digest);
    const std::string path = output + "/" + ChunkPath(hex);
    std::int64_t stored = platform::FileExists(path) ? platform::FileSize(path) : -1;
    if (stored <= 0) {
      const std::string encoded =
          zstd ? EncodeZstd(data, size, static_cast<int>(level)) : EncodeChunk(data, size, level);
      stored = static_cast<std::int64_t>(encoded.size());
      if (claims.Claim(hex)) {
        platform::ForceDirectories(ExtractFilePath(path));
        WriteFileWhole(path, encoded);
      }
    }
    entry.Stored = static_cast<std::uint32_t>(stored);
    index.FileSize += static_cast<std::int64_t>(size);
    index.Chunks.push_back(entry);
  }
  return index;
}

// Writes a file's index (unless an identical one is there); returns its digest.
std::string WriteChunkIndex(const TChunkIndex& index, const std::string& output,
                            std::uint32_t level) {
  const std::string text = EncodeChunkIndex(index, level);
  const std::string digest = Sha256Hex(text);
  const std::string path = output + "/" + ChunkIndexPath(digest);
  if (!platform::FileExists(path)) {
    platform::ForceDirectories(ExtractFilePath(path));
    WriteFileWhole(path, text);
  }
  return digest;
}

// Whether `rel` (below chunks/) is a name kova-publish stores a chunk or an index under:
// "xx/<sha256>" with xx its first two digits, or "index/<sha256>".
bool IsChunkStoreName(const std::string& rel) {
  const std::size_t slash = rel.find('/');
  if (slash == std::string::npos) return false;
  const std::string folder = rel.substr(0, slash), name = rel.substr(slash + 1);
  return IsSha256Hex(name) && (folder == "index" || folder == name.substr(0, 2));
}

// Removes from OUTPUT_DIR/chunks every chunk and index that no list in OUTPUT_DIR refers to. A
// list that cannot be read (one being uploaded, say) or that names an index which cannot be read
// stops it: what it needs is unknown. Only chunk and index names are removed, and no link at
// chunks/ or below is followed: the store may be shared, or hold what is no chunk at all.
int Prune(const std::string& outputArg) {
  const std::string output = platform::AbsolutePath(outputArg);
  if (output.empty() || !platform::DirectoryExists(output)) return Usage("no folder " + outputArg);
  if (platform::IsSymbolicLink(output + "/chunks")) {
    std::fprintf(stderr,
                 "kova-publish: %s/chunks is a link; nothing pruned (prune the folder it leads "
                 "to with the lists that use it)\n",
                 output.c_str());
    return 1;
  }
  std::vector<std::string> top, links;
  if (!platform::ListFiles(output, top, links)) return Usage("cannot read " + outputArg);
  std::set<std::string> keep;
  int lists = 0;
  for (const std::string& rel : top) {
    if (rel.find('/') != std::string::npos || rel.size() < 4 ||
        rel.compare(rel.size() - 4, 4, ".xml") != 0)
      continue;
    TPatchMap map;
    TDocumentStamp stamp;
    try {
      auto in = platform::OpenFileStream(output + "/" + rel, platform::TFileMode::OpenRead);
      LoadPatchList(*in, map, &stamp);
    } catch (const std::exception& e) {
      map.Clear(true);
      std::fprintf(stderr, "kova-publish: %s cannot be read (%s); nothing pruned\n", rel.c_str(),
                   e.what());
      return 1;
    }
    // Another document (the options, say) refers to no chunk.
    if (stamp.Kind != "list") {
      map.Clear(true);
      continue;
    }
    ++lists;
    bool readable = true;
    std::string missing;
    for (auto it = map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next()) {
      const std::string& digest = item->FileItem->ChunkIndex;
      if (digest.empty() || !readable) continue;
      TChunkIndex index;
      std::string why;
      try {
        const std::string text = platform::ReadFileWhole(output + "/" + ChunkIndexPath(digest));
        readable =
            Sha256Hex(text) == digest && DecodeChunkIndex(text, item->FileItem->Size, index, why);
      } catch (const std::exception&) {
        readable = false;
      }
      if (!readable) {
        missing = item->FileItem->FileName;
        break;
      }
      keep.insert(ChunkIndexPath(digest));
      for (const TChunkEntry& c : index.Chunks) keep.insert(ChunkPath(DigestHex(c.Digest)));
    }
    map.Clear(true);
    if (!readable) {
      std::fprintf(stderr,
                   "kova-publish: %s: the chunk index of %s cannot be read; nothing pruned\n",
                   rel.c_str(), missing.c_str());
      return 1;
    }
  }
  std::vector<std::string> stored;
  links.clear();
  if (platform::DirectoryExists(output + "/chunks"))
    platform::ListFiles(output + "/chunks", stored, links);
  std::size_t removed = 0;
  std::int64_t freed = 0;
  for (const std::string& rel : stored) {
    const std::string path = output + "/chunks/" + rel;
    if (keep.count("chunks/" + rel) || !IsChunkStoreName(rel)) continue;
    const std::int64_t size = platform::FileSize(path);
    if (platform::RemoveFile(path)) {
      ++removed;
      freed += size;
    }
  }
  std::fprintf(stderr,
               "kova-publish: %zu chunk files removed (%lld bytes), %zu kept for %d lists\n",
               removed, static_cast<long long>(freed), keep.size(), lists);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  long levelGiven = -1;
  bool zstd = false;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::string> paths;
  bool chunks = false;
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("kova-publish %s\n", KOVA_VERSION);
    return 0;
  }
  if (argc >= 2 && std::string(argv[1]) == "--prune") {
    if (argc != 3) return Usage("--prune needs OUTPUT_DIR alone");
    return Prune(argv[2]);
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

  // What the previous run published, to reuse unchanged archives.
  TPatchMap previous;
  std::int64_t previousSerial = -1;
  try {
    const std::string list = output + "/patchlist.xml";
    if (platform::FileExists(list)) {
      auto in = platform::OpenFileStream(list, platform::TFileMode::OpenRead);
      TDocumentStamp previousStamp;
      LoadPatchList(*in, previous, &previousStamp);
      previousSerial = previousStamp.Serial;
    }
  } catch (const std::exception&) {
    previous.Clear(true);
  }

  TChunkClaims claims;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::mutex print;
  const bool terminal = ::isatty(STDERR_FILENO) != 0;
  auto work = [&] {
    for (std::size_t i; (i = next++) < entries.size();) {
      TEntry& e = entries[i];
      const std::string src = source + "/" + e.Relative;
      const std::string archive = output + "/" + e.Relative + ".lzma";
      e.Executable = platform::IsExecutableFile(src);
      if (!FileCrc(src, e.Crc, e.Size)) {
        e.Error = "cannot read it";
      } else {
        const TPatchItem* old = previous.Get(e.Name);
        std::uint32_t onDisk = 0;
        std::int64_t archiveSize = 0;
        e.Reused = old && old->FileItem->Size == e.Size && old->FileItem->Checksum == e.Crc &&
                   old->Codec == (zstd ? "zstd" : "") && FileCrc(archive, onDisk, archiveSize) &&
                   onDisk == old->Checksum;
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
          if (zstd)
            CompressZstd(src, archive, e.Size, static_cast<int>(level), e.ArchiveCrc, e.Error);
          else
            Compress(src, archive, e.Size, level, e.ArchiveCrc, e.Error);
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
  previous.Clear(true);
  if (terminal) std::fprintf(stderr, "\r\033[K");

  int failed = 0;
  if (!secretKey.empty() && serial < 0) serial = NextSerial(previousSerial);
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<list";
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
  xml += "</list>\n";
  const std::string list = output + "/patchlist.xml";
  try {
    WriteFileWhole(list, xml);
    if (!secretKey.empty()) WriteSignature(list, xml, secretKey);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova-publish: cannot write %s: %s\n", list.c_str(), e.what());
    return 1;
  }
  std::fprintf(
      stderr,
      "kova-publish: %zu files published (%zu archives reused), %d not published, %d failed\n",
      entries.size() - static_cast<std::size_t>(failed), reused, refused, failed);
  return failed == 0 && refused == 0 ? 0 : 1;
}
