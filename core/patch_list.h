#pragma once
// The patch list: one record per game file with its expected CRC-32 and size, and the CRC-32 of
// the ".lzma" archive it is restored from. Read from the published XML document, or from the
// cache in the settings store, into a tStringHash keyed by the file name; its iteration order
// is the order in which an update run visits the files.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/document_stamp.h"
#include "core/registry.h"
#include "support/error.h"
#include "support/stream.h"
#include "support/string_hash.h"

namespace kova {

class EPatchListError : public Exception {
 public:
  using Exception::Exception;
};

class TFileItem {
 public:
  virtual ~TFileItem() = default;
  TFileItem() = default;
  TFileItem(const TFileItem&) = default;
  TFileItem& operator=(const TFileItem&) = default;
  // Copies the four fields.
  virtual void Assign(const TFileItem& source);

  std::string FileName;  // relative to the home folder, with backslashes
  std::uint32_t Checksum = 0;
  std::int64_t Size = 0;
  // Last-write time as last observed, packed as a DOS date; 0 = never observed, -1 = the file
  // existed but could not be opened when its date was taken.
  std::int32_t FileDate = 0;
  // The file is to be read whatever its size and date say (its check is due); never stored.
  bool MustRead = false;
  // The publisher marked the file as a program to run. Only a freshly read list knows it; the
  // cache does not keep it.
  bool Executable = false;
  // The SHA-256 a signed list gives (lower-case hex), of the archive for a TPatchItem and of the
  // target for its FileItem; empty otherwise. Only a freshly read list knows it.
  std::string Sha256;
  // The SHA-256 of the file's chunk index (lower-case hex) when the publication has one: the
  // file may then be assembled from the chunks an older copy lacks. Only a freshly read list
  // knows it.
  std::string ChunkIndex;
};

// Describes the archive; `FileItem` describes the target file it restores.
class TPatchItem : public TFileItem {
 public:
  explicit TPatchItem(const TFileItem& target) : FileItem(std::make_unique<TFileItem>(target)) {}
  // From another patch record only the target's fields are copied.
  void Assign(const TFileItem& source) override;

  std::unique_ptr<TFileItem> FileItem;
  // The archive's codec as the list names it ("zstd"; empty: LZMA). The launcher tells it by the
  // archive's first bytes; kova-publish reads it back to reuse only archives of its codec.
  std::string Codec;
};

using TPatchMap = tStringHash<TPatchItem>;

// The largest file a list may name (1 TiB). A game's largest files are tens of gigabytes; a
// size beyond any disk would only make every sum over the records meaningless.
constexpr std::int64_t kMaxFileSize = 1ll << 40;

// Suffix of the archive a file is restored from.
extern const char* const kArchiveSuffix;  // ".lzma"

// A published name may be used for local files only when it stays inside the game folder and
// means the same file on every system: not empty, not absolute, no drive or UNC prefix, no "." or
// ".." component and no empty one, no control byte (below 0x20, or 0x7F), none of the characters
// Windows cannot hold in a name (:<>"|?*; "|" also separates the cache's fields), no component
// ending in a dot or a blank, no device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any
// extension), and at most 4,096 bytes.
bool IsSafeRelativeName(const std::string& name);

// Puts one record per "archive" element of the first top-level "list" element (or "nextlist":
// the next version's list, which `stamp` tells by its kind). Raises
// EPatchListError (or the XML reader's error) for a rejected document; records put before the
// fault stay in the map. Two names that differ only in letter case are refused: on most systems
// they would be one file written twice. The same name listed twice keeps its later record.
// `stamp`, when given, receives what the first top-level element says of itself.
// A file an earlier list installed that the publisher no longer publishes
// (<removed filename="..." original="CRC" size="N"/> in the list): a launcher removes it only
// while it holds what that list installed. Launchers that do not know the element pass it over.
struct TRemovedFile {
  std::string FileName;  // with backslashes, as listed
  std::uint32_t Checksum = 0;
  std::int64_t Size = 0;
};
void LoadPatchList(TStream& stream, TPatchMap& map, TDocumentStamp* stamp = nullptr,
                   std::vector<TRemovedFile>* removed = nullptr);
// Writes every record as value "1", "2", ... under `prefix` (SettingsKey + "\PatchList\"), in
// the map's iteration order, in one batch. Deletes nothing itself.
void SavePatchListCache(TRootKey root, const std::string& prefix, TPatchMap& map);
// Reads every value under the prefix's key into the map, in storing order. Values that are not
// a well-formed record (another tag, missing fields, bad numbers, an unsafe name) are skipped.
void LoadPatchListCache(TRootKey root, const std::string& prefix, TPatchMap& map);

// Gives each record of a freshly read list the date the cache holds for it, where the cache holds
// that record unchanged (name, both checksums, size, and the file's SHA-256, which the record
// must have unless `needDigest` is false: a list the server says is the one applied before).
// True when the cache holds exactly the list's records: it need not be written again.
bool TakeCachedDates(TRootKey root, const std::string& prefix, TPatchMap& map,
                     bool needDigest = true);

// One cache value: "archive|name|ARCHIVECRC|FILECRC|size|date", then "|SHA256" of the file when
// the record has one (a signed list's).
std::string FormatCacheValue(const TPatchItem& item);
// The record a cache value describes, or null for a value to skip.
std::unique_ptr<TPatchItem> ParseCacheValue(const std::string& text);

}  // namespace kova
