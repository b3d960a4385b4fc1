#include "tools/publish_store.h"

#include <lzma.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include "tools/publish_sign.h"
#include "workers/chunks.h"
#include "workers/crc32.h"
#include "workers/zstd_frame.h"

namespace kova::publish {

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
              std::uint32_t level, std::uint32_t& archiveCrc, std::string& error,
              const TReadProgress& progress) {
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
        if (progress) progress(static_cast<std::int64_t>(strm.total_in + n));
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
                  int level, std::uint32_t& archiveCrc, std::string& error,
                  const TReadProgress& progress, int threads) {
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
      // A library built without threads refuses workers, and compresses on this one.
      if (threads > 1) ZSTD_CCtx_setParameter(context, ZSTD_c_nbWorkers, threads);
      auto in = platform::OpenFileStream(source, platform::TFileMode::OpenRead);
      auto out = platform::OpenFileStream(temp, platform::TFileMode::Create);
      std::uint32_t crc = kCrcInit;
      TAlignedBuffer inBuf(kBlock), outBuf(ZSTD_CStreamOutSize());
      std::int64_t read = 0;
      for (bool last = false; ok && !last;) {
        const std::size_t n = in->Read(inBuf.Data(), inBuf.Size());
        read += static_cast<std::int64_t>(n);
        last = n == 0;
        if (progress) progress(read);
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

namespace {

// Whether `rel` (below chunks/) is a name kova-publish stores a chunk or an index under:
// "xx/<sha256>" with xx its first two digits, or "index/<sha256>".
bool IsChunkStoreName(const std::string& rel) {
  const std::size_t slash = rel.find('/');
  if (slash == std::string::npos) return false;
  const std::string folder = rel.substr(0, slash), name = rel.substr(slash + 1);
  return IsSha256Hex(name) && (folder == "index" || folder == name.substr(0, 2));
}

}  // namespace

bool ReadPublishedIndex(const std::string& output, const TFileItem& file, TChunkIndex& index) {
  std::string why;
  try {
    const std::string text =
        platform::ReadFileWhole(output + "/" + ChunkIndexPath(file.ChunkIndex));
    return Sha256Hex(text) == file.ChunkIndex && DecodeChunkIndex(text, file.Size, index, why);
  } catch (const std::exception&) {
    return false;
  }
}

// Removes from OUTPUT_DIR every archive, and from OUTPUT_DIR/chunks every chunk and index, that
// no list in OUTPUT_DIR refers to. A list that cannot be read (one being uploaded, say) or that
// names an index which cannot be read stops it: what it needs is unknown. Only archive, chunk and
// index names are removed, and no link is followed or removed: the store may be shared, or hold
// what is no chunk at all.
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
  std::set<std::string> keep, archives;
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
    const bool nextList = stamp.Kind == "nextlist";
    if (stamp.Kind != "list" && !nextList) {
      map.Clear(true);
      continue;
    }
    ++lists;
    bool readable = true;
    std::string missing;
    for (auto it = map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next()) {
      archives.insert(BackslashToSlash(item->FileName));
      // The next version's own archives wait under next/ for its release.
      if (nextList) archives.insert(kNextFolder + BackslashToSlash(item->FileName));
      const std::string& digest = item->FileItem->ChunkIndex;
      if (digest.empty() || !readable) continue;
      TChunkIndex index;
      readable = ReadPublishedIndex(output, *item->FileItem, index);
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
  // Without a list, everything would go: more likely the wrong folder than a game withdrawn.
  if (lists == 0) {
    std::fprintf(stderr, "kova-publish: %s holds no patch list; nothing pruned\n", output.c_str());
    return 1;
  }
  // The archive of a file no list names any more. Only archives go, never a link, and nothing in
  // the chunk store, which the chunk names govern.
  std::size_t removedArchives = 0;
  std::int64_t freed = 0;
  for (const std::string& rel : top) {
    if (rel.rfind("chunks/", 0) == 0 || archives.count(rel) ||
        rel.size() <= std::strlen(kArchiveSuffix) ||
        rel.compare(rel.size() - std::strlen(kArchiveSuffix), std::string::npos, kArchiveSuffix) !=
            0)
      continue;
    const std::string path = output + "/" + rel;
    const std::int64_t size = platform::FileSize(path);
    if (platform::RemoveFile(path)) {
      ++removedArchives;
      freed += size;
    }
  }
  std::vector<std::string> stored;
  links.clear();
  if (platform::DirectoryExists(output + "/chunks"))
    platform::ListFiles(output + "/chunks", stored, links);
  std::size_t removed = 0;
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
               "kova-publish: %zu archives and %zu chunk files removed (%lld bytes); %zu archives "
               "and %zu chunk files kept for %d lists\n",
               removedArchives, removed, static_cast<long long>(freed), archives.size(),
               keep.size(), lists);
  return 0;
}

}  // namespace kova::publish
