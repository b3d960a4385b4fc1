#include "tools/publish_bundle.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/patch_list.h"
#include "core/utility.h"
#include "platform/files.h"
#include "support/signature.h"
#include "support/stream.h"
#include "tools/publish_sign.h"
#include "tools/publish_store.h"
#include "workers/chunks.h"

namespace kova::publish {
namespace {

constexpr std::size_t kTarBlock = 512;

// Writes members one after the other: a header block, the data, zeros to the next block.
class TTarWriter {
 public:
  explicit TTarWriter(TStream& out) : out_(out) {}

  void AddFile(const std::string& name, const std::string& path) {
    auto in = platform::OpenFileStream(path, platform::TFileMode::OpenRead);
    const std::int64_t size = in->Size();
    Header(name, size);
    std::vector<char> buffer(kBlock);
    std::int64_t left = size;
    while (left > 0) {
      const std::size_t n = in->Read(buffer.data(), buffer.size());
      // A file that shrank while it was read would leave the member shorter than its header.
      if (n == 0) throw std::runtime_error(path + " changed while it was read");
      const std::size_t take = static_cast<std::size_t>(std::min<std::int64_t>(left, n));
      out_.Write(buffer.data(), take);
      left -= static_cast<std::int64_t>(take);
    }
    Pad(size);
  }

  void AddData(const std::string& name, const std::string& data) {
    Header(name, static_cast<std::int64_t>(data.size()));
    out_.Write(data.data(), data.size());
    Pad(static_cast<std::int64_t>(data.size()));
  }

  // The end of the archive: two blocks of zeros.
  void Finish() {
    const std::string zeros(2 * kTarBlock, '\0');
    out_.Write(zeros.data(), zeros.size());
  }

 private:
  // A name that does not fit the header's 100 bytes, or is beyond ASCII, and a size beyond its
  // 11 octal digits, go in a pax header before the member's own.
  void Header(const std::string& name, std::int64_t size) {
    bool plain = name.size() < 100;
    for (const char c : name) plain = plain && static_cast<unsigned char>(c) < 0x80;
    const bool large = size >= (std::int64_t{1} << 33);
    if (!plain || large) {
      std::string records;
      if (!plain) records += PaxRecord("path", name);
      if (large) records += PaxRecord("size", std::to_string(size));
      Block("PaxHeader/member", static_cast<std::int64_t>(records.size()), 'x');
      out_.Write(records.data(), records.size());
      Pad(static_cast<std::int64_t>(records.size()));
    }
    Block(plain ? name : std::string("member"), large ? 0 : size, '0');
  }

  // "LEN key=value\n", LEN counting the whole record, its own digits included.
  static std::string PaxRecord(const std::string& key, const std::string& value) {
    const std::size_t body = key.size() + value.size() + 3;  // " ", "=", "\n"
    std::size_t length = body + 1;
    while (std::to_string(length).size() + body != length) ++length;
    return std::to_string(length) + " " + key + "=" + value + "\n";
  }

  void Block(const std::string& name, std::int64_t size, char type) {
    char h[kTarBlock] = {};
    std::memcpy(h, name.data(), std::min<std::size_t>(name.size(), 99));
    std::snprintf(h + 100, 8, "%07o", 0644);
    std::snprintf(h + 108, 8, "%07o", 0);
    std::snprintf(h + 116, 8, "%07o", 0);
    std::snprintf(h + 124, 12, "%011llo", static_cast<unsigned long long>(size));
    std::snprintf(h + 136, 12, "%011o", 0);
    std::memset(h + 148, ' ', 8);
    h[156] = type;
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    unsigned sum = 0;
    for (const char c : h) sum += static_cast<unsigned char>(c);
    std::snprintf(h + 148, 8, "%06o", sum);
    h[155] = ' ';
    out_.Write(h, sizeof h);
  }

  void Pad(std::int64_t size) {
    const std::size_t rest = static_cast<std::size_t>(size % kTarBlock);
    if (rest == 0) return;
    const std::string zeros(kTarBlock - rest, '\0');
    out_.Write(zeros.data(), zeros.size());
  }

  TStream& out_;
};

void LoadList(const std::string& path, TPatchMap& map) {
  auto in = platform::OpenFileStream(path, platform::TFileMode::OpenRead);
  LoadPatchList(*in, map);
}

}  // namespace

int WriteBundle(const std::string& output, const std::string& file, const std::string& oldList) {
  const std::string list = output + "/patchlist.xml";
  TPatchMap map, old;
  struct TClear {
    TPatchMap& a;
    TPatchMap& b;
    ~TClear() {
      a.Clear(true);
      b.Clear(true);
    }
  } clear{map, old};
  try {
    LoadList(list, map);
    if (!oldList.empty()) LoadList(oldList, old);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova-publish: %s\n", e.what());
    return 1;
  }
  // What a player at the old version holds: the old list's chunks, for the files it indexed.
  std::set<std::string> held;
  for (auto it = old.Iterate(); const TPatchItem* item = it->CurrentValue(); it->Next()) {
    TChunkIndex index;
    if (!item->FileItem->ChunkIndex.empty() && ReadPublishedIndex(output, *item->FileItem, index))
      for (const TChunkEntry& c : index.Chunks) held.insert(DigestHex(c.Digest));
  }
  const std::string temp = file + kWholeWriteSuffix;
  std::size_t members = 0;
  try {
    {
      auto out = platform::OpenFileStream(temp, platform::TFileMode::Create);
      TTarWriter tar(*out);
      tar.AddFile("patchlist.xml", list);
      ++members;
      if (platform::FileExists(list + ".sig")) {
        tar.AddFile("patchlist.xml.sig", list + ".sig");
        ++members;
      }
      std::set<std::string> added;
      for (auto it = map.Iterate(); const TPatchItem* item = it->CurrentValue(); it->Next()) {
        const TFileItem& f = *item->FileItem;
        const TPatchItem* before = old.Get(f.FileName);
        if (before && before->FileItem->FileName == f.FileName &&
            before->FileItem->Checksum == f.Checksum && before->FileItem->Size == f.Size &&
            before->Checksum == item->Checksum && before->Codec == item->Codec)
          continue;
        // An older copy with an index of its own is brought up to date by chunks.
        TChunkIndex index;
        if (before && !before->FileItem->ChunkIndex.empty() && !f.ChunkIndex.empty() &&
            ReadPublishedIndex(output, f, index)) {
          tar.AddFile(ChunkIndexPath(f.ChunkIndex), output + "/" + ChunkIndexPath(f.ChunkIndex));
          ++members;
          for (const TChunkEntry& c : index.Chunks) {
            const std::string hex = DigestHex(c.Digest);
            if (held.count(hex) || !added.insert(hex).second) continue;
            tar.AddFile(ChunkPath(hex), output + "/" + ChunkPath(hex));
            ++members;
          }
          continue;
        }
        const std::string name = BackslashToSlash(f.FileName) + kArchiveSuffix;
        tar.AddFile(name, output + "/" + name);
        ++members;
      }
      tar.Finish();
      out->Flush();
    }
    if (!platform::MoveFileReplacing(temp, file)) throw std::runtime_error("cannot write " + file);
  } catch (const std::exception& e) {
    platform::RemoveFile(temp);
    std::fprintf(stderr, "kova-publish: no bundle written: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "kova-publish: %s: %zu members\n", file.c_str(), members);
  return 0;
}

}  // namespace kova::publish
