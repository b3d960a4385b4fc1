#pragma once
// The patch list: one record per game file with its expected CRC-32 and size, and the CRC-32 of
// the ".lzma" archive it is restored from. Read from the published XML document, or from the
// cache in the settings store, into a tStringHash keyed by the file name; its iteration order
// is the order in which an update run visits the files.

#include <cstdint>
#include <memory>
#include <string>

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
  // The publisher marked the file as a program to run. Only a freshly read list knows it; the
  // cache does not keep it.
  bool Executable = false;
  // The SHA-256 a signed list gives (lower-case hex), of the archive for a TPatchItem and of the
  // target for its FileItem; empty otherwise. Only a freshly read list knows it.
  std::string Sha256;
};

// Describes the archive; `FileItem` describes the target file it restores.
class TPatchItem : public TFileItem {
 public:
  explicit TPatchItem(const TFileItem& target) : FileItem(std::make_unique<TFileItem>(target)) {}
  // From another patch record only the target's fields are copied.
  void Assign(const TFileItem& source) override;

  std::unique_ptr<TFileItem> FileItem;
};

using TPatchMap = tStringHash<TPatchItem>;

// Suffix of the archive a file is restored from.
extern const char* const kArchiveSuffix;  // ".lzma"

// A published name may be used for local files only when it stays inside the game folder: not
// empty, not absolute, no drive or UNC prefix, no "." or ".." component, no "|" (which the cache
// cannot hold), no control byte (below 0x20, or 0x7F), not naming a folder, and at most 4,096
// bytes.
bool IsSafeRelativeName(const std::string& name);

// Puts one record per "archive" element of the first top-level "list" element. Raises
// EPatchListError (or the XML reader's error) for a rejected document; records put before the
// fault stay in the map.
// `serial`, when given, receives the "serial" attribute of the list element (a decimal number),
// or -1 when there is none.
void LoadPatchList(TStream& stream, TPatchMap& map, std::int64_t* serial = nullptr);
// Writes every record as value "1", "2", ... under `prefix` (SettingsKey + "\PatchList\"), in
// the map's iteration order, in one batch. Deletes nothing itself.
void SavePatchListCache(TRootKey root, const std::string& prefix, TPatchMap& map);
// Reads every value under the prefix's key into the map, in storing order. Values that are not
// a well-formed record (another tag, missing fields, bad numbers, an unsafe name) are skipped.
void LoadPatchListCache(TRootKey root, const std::string& prefix, TPatchMap& map);

// One cache value: "archive|name|ARCHIVECRC|FILECRC|size|date".
std::string FormatCacheValue(const TPatchItem& item);
// The record a cache value describes, or null for a value to skip.
std::unique_ptr<TPatchItem> ParseCacheValue(const std::string& text);

}  // namespace kova
