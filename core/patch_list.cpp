#include "core/patch_list.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "core/utility.h"
#include "platform/settings_store.h"
#include "support/signature.h"
#include "support/text.h"
#include "xml/xml_document.h"

namespace kova {

const char* const kArchiveSuffix = ".lzma";

namespace {

constexpr std::size_t kMaxNameLength = 4096;

std::unique_ptr<TPatchItem> MakeRecord(const std::string& fileName, std::uint32_t fileCrc,
                                       std::int64_t size, std::int32_t fileDate,
                                       std::uint32_t archiveCrc) {
  TFileItem target;
  target.FileName = fileName;
  target.Checksum = fileCrc;
  target.Size = size;
  target.FileDate = fileDate;
  auto item = std::make_unique<TPatchItem>(target);
  item->FileName = fileName + kArchiveSuffix;
  item->Checksum = archiveCrc;
  return item;
}

// The attributes of an "archive" element, looked up by interned name.
struct TArchiveAttrs {
  int FileName = TXmlNameTable::Shared().NameToId("filename");
  int Original = TXmlNameTable::Shared().NameToId("original");
  int Size = TXmlNameTable::Shared().NameToId("size");
  int Checksum = TXmlNameTable::Shared().NameToId("checksum");
  int Executable = TXmlNameTable::Shared().NameToId("executable");
  int Sha256 = TXmlNameTable::Shared().NameToId("sha256");
  int ArchiveSha256 = TXmlNameTable::Shared().NameToId("archive_sha256");
  int Chunks = TXmlNameTable::Shared().NameToId("chunks");
  int Codec = TXmlNameTable::Shared().NameToId("codec");
};

// A digest attribute as the signed list writes it; anything else counts as none.
std::string DigestAttr(const TXmlElement& e, int id) {
  const std::string* text = e.FindById(id);
  return text && IsSha256Hex(*text) ? *text : std::string();
}

const std::string& Required(const TXmlElement& e, int id) {
  const std::string* text = e.FindById(id);
  if (!text)
    throw EPatchListError("Attribute \"" + TXmlNameTable::Shared().IdToName(id) + "\" is missing");
  return *text;
}

std::uint32_t RequiredHex(const TXmlElement& e, int id) {
  const std::string& text = Required(e, id);
  std::uint32_t value = 0;
  if (!ParseHex32(text, value)) throw EPatchListError("'" + text + "' is not a valid checksum");
  return value;
}

}  // namespace

void TFileItem::Assign(const TFileItem& source) {
  FileName = source.FileName;
  Checksum = source.Checksum;
  Size = source.Size;
  FileDate = source.FileDate;
  Executable = source.Executable;
  Sha256 = source.Sha256;
  ChunkIndex = source.ChunkIndex;
}

void TPatchItem::Assign(const TFileItem& source) {
  if (const auto* patch = dynamic_cast<const TPatchItem*>(&source)) {
    FileItem->Assign(*patch->FileItem);
  } else {
    TFileItem::Assign(source);
  }
}

namespace {

// Names that Windows gives to devices, whatever extension follows: a file of that name cannot be
// made there, so no publication may hold one, on any system.
bool IsDeviceName(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* name : kNames)
    if (SameTextAscii(base, name)) return true;
  if (base.size() == 4 && base[3] >= '1' && base[3] <= '9')
    return SameTextAscii(base.substr(0, 3), "COM") || SameTextAscii(base.substr(0, 3), "LPT");
  return false;
}

}  // namespace

bool IsSafeRelativeName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  if (name[0] == '\\' || name[0] == '/') return false;  // absolute, UNC or device path
  std::size_t componentStart = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    const char c = i < name.size() ? name[i] : '/';
    // Control bytes (line ends, escapes, tabs) have no place in a file name: they would reach
    // terminals, logs and other programs as commands. The others are what Windows cannot hold in
    // a name (":" also makes a drive prefix or an alternate data stream there).
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || std::strchr("|:<>\"?*", c) != nullptr) return false;
    if (c == '\\' || c == '/') {
      const std::string_view component(name.data() + componentStart, i - componentStart);
      if (component.empty()) return false;  // an empty folder name, or one that names a folder
      if (component == "." || component == "..") return false;  // never a file of the game
      // Windows drops a trailing dot or blank: "a.txt." would be a second name for "a.txt".
      if (component.back() == '.' || component.back() == ' ') return false;
      if (IsDeviceName(component)) return false;
      componentStart = i + 1;
    }
  }
  return true;
}

namespace {

// Puts a record for each "archive" element of the first top-level "list" (or "nextlist") as soon as
// it has been read, and keeps no element: a list of millions of entries never stands in memory as a
// tree beside its records.
class TPatchListSink : public IXmlElementSink {
 public:
  TPatchListSink(TPatchMap& map, TDocumentStamp* stamp, std::vector<TRemovedFile>* removed)
      : map_(map), stamp_(stamp), removed_(removed) {}

  void ElementOpened(const TXmlElement& element, int depth) override {
    if (depth != 0) return;
    if (stamp_ && !topSeen_) ReadDocumentStamp(element, *stamp_);
    topSeen_ = true;
    inList_ = !listSeen_ && (element.NameId() == listId_ || element.NameId() == nextListId_);
    listSeen_ = listSeen_ || inList_;
  }

  bool ElementClosed(const TXmlElement& element, int depth) override {
    if (depth == 1 && inList_ && element.NameId() == archiveId_) Put(element);
    if (depth == 1 && inList_ && removed_ && element.NameId() == removedId_) PutRemoved(element);
    if (depth == 0) inList_ = false;
    return true;
  }

 private:
  void Put(const TXmlElement& e) {
    static const std::string noName;
    const std::string* nameAttr = e.FindById(attrs_.FileName);
    const std::string& fileName = nameAttr ? *nameAttr : noName;
    const std::uint32_t original = RequiredHex(e, attrs_.Original);
    const std::string& sizeText = Required(e, attrs_.Size);
    std::int64_t size = 0;
    if (!ParseDecimal64(sizeText, size) || size < 0 || size > kMaxFileSize) {
      throw EPatchListError("'" + sizeText + "' is not a valid file size");
    }
    const std::uint32_t checksum = RequiredHex(e, attrs_.Checksum);
    // A name that leaves the game folder would make the update write outside it.
    if (!IsSafeRelativeName(fileName))
      throw EPatchListError("'" + fileName + "' is not a valid file name");
    auto record = MakeRecord(fileName, original, size, 0, checksum);
    const std::string* executable = e.FindById(attrs_.Executable);
    record->FileItem->Executable = executable && *executable == "1";
    record->FileItem->Sha256 = DigestAttr(e, attrs_.Sha256);
    record->Sha256 = DigestAttr(e, attrs_.ArchiveSha256);
    record->FileItem->ChunkIndex = DigestAttr(e, attrs_.Chunks);
    if (const std::string* codec = e.FindById(attrs_.Codec); codec && *codec == "zstd")
      record->Codec = *codec;
    if (const TPatchItem* same = map_.Get(fileName); same && same->FileItem->FileName != fileName)
      throw EPatchListError("'" + fileName + "' differs from '" + same->FileItem->FileName +
                            "' only in letter case");
    TPatchItem* previous = nullptr;
    map_.Put(fileName, record.release(), &previous);
    delete previous;  // the later entry of a list wins
  }

  void PutRemoved(const TXmlElement& e) {
    TRemovedFile file;
    if (const std::string* name = e.FindById(attrs_.FileName)) file.FileName = *name;
    if (!IsSafeRelativeName(file.FileName))
      throw EPatchListError("'" + file.FileName + "' is not a valid file name");
    file.Checksum = RequiredHex(e, attrs_.Original);
    const std::string& sizeText = Required(e, attrs_.Size);
    if (!ParseDecimal64(sizeText, file.Size) || file.Size < 0 || file.Size > kMaxFileSize)
      throw EPatchListError("'" + sizeText + "' is not a valid file size");
    // As many as the list gives, within what a list of a game holds.
    if (removed_->size() >= kMaxRemoved) throw EPatchListError("too many removed files");
    removed_->push_back(std::move(file));
  }

  static constexpr std::size_t kMaxRemoved = 1 << 20;
  TPatchMap& map_;
  TDocumentStamp* stamp_;
  std::vector<TRemovedFile>* removed_;
  const TArchiveAttrs attrs_;
  const int listId_ = TXmlNameTable::Shared().NameToId("list");
  // The next version's list reads alike; its kind (the stamp's) tells it apart.
  const int nextListId_ = TXmlNameTable::Shared().NameToId("nextlist");
  const int archiveId_ = TXmlNameTable::Shared().NameToId("archive");
  const int removedId_ = TXmlNameTable::Shared().NameToId("removed");
  bool topSeen_ = false;
  bool listSeen_ = false;
  bool inList_ = false;
};

}  // namespace

void LoadPatchList(TStream& stream, TPatchMap& map, TDocumentStamp* stamp,
                   std::vector<TRemovedFile>* removed) {
  if (stamp) *stamp = TDocumentStamp();
  if (removed) removed->clear();
  auto document = NewXmlDocument();
  TPatchListSink sink(map, stamp, removed);
  document->ReadFromStream(stream, &sink);
}

std::string FormatCacheValue(const TPatchItem& item) {
  const TFileItem& f = *item.FileItem;
  std::string value = "archive|" + f.FileName + "|" + HexUpper8(item.Checksum) + "|" +
                      HexUpper8(f.Checksum) + "|" + std::to_string(f.Size) + "|" +
                      std::to_string(f.FileDate);
  if (!f.Sha256.empty()) value += "|" + f.Sha256;
  return value;
}

std::unique_ptr<TPatchItem> ParseCacheValue(const std::string& text) {
  const std::vector<std::string> fields = SplitByChar('|', text);  // [0] is the whole text
  if ((fields.size() != 7 && fields.size() != 8) || !SameTextAscii(fields[1], "archive"))
    return nullptr;
  if (fields.size() == 8 && !IsSha256Hex(fields[7])) return nullptr;
  std::uint32_t archiveCrc = 0, fileCrc = 0;
  std::int64_t size = 0, date = 0;
  if (!IsSafeRelativeName(fields[2]) || !ParseHex32(fields[3], archiveCrc) ||
      !ParseHex32(fields[4], fileCrc) || !ParseDecimal64(fields[5], size) || size < 0 ||
      size > kMaxFileSize || !ParseDecimal64(fields[6], date) || date < INT32_MIN ||
      date > INT32_MAX) {
    return nullptr;
  }
  auto item = MakeRecord(fields[2], fileCrc, size, static_cast<std::int32_t>(date), archiveCrc);
  if (fields.size() == 8) item->FileItem->Sha256 = fields[7];
  return item;
}

void SavePatchListCache(TRootKey root, const std::string& prefix, TPatchMap& map) {
  platform::TRegBatch batch;
  std::size_t counter = 0;
  for (auto it = map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next()) {
    RegWriteString(root, prefix + std::to_string(++counter), FormatCacheValue(*item));
  }
}

void LoadPatchListCache(TRootKey root, const std::string& prefix, TPatchMap& map) {
  platform::TRegBatch batch;  // one consistent snapshot, and fast
  std::string keyPath = prefix;
  if (!keyPath.empty() && keyPath.back() == '\\') keyPath.pop_back();
  std::vector<std::pair<std::string, std::string>> values;
  if (!RegListStrings(root, keyPath, values)) return;
  // Values are read in storing order, which their names "1", "2", ... give: a registry may
  // enumerate them by name instead (Wine's does: "1", "10", "11", ..., "2"), and the map's order,
  // the order of the run, follows the order of putting.
  auto number = [](const std::string& name) {
    std::int64_t n = 0;
    return ParseDecimal64(name, n) && n > 0 ? n : INT64_MAX;
  };
  std::stable_sort(values.begin(), values.end(), [&number](const auto& a, const auto& b) {
    return number(a.first) < number(b.first);
  });
  for (const auto& [name, text] : values) {
    std::unique_ptr<TPatchItem> item = ParseCacheValue(text);
    if (!item) continue;
    const std::string key = item->FileItem->FileName;
    TPatchItem* previous = nullptr;
    map.Put(key, item.release(), &previous);
    delete previous;
  }
}

}  // namespace kova

namespace kova {

bool TakeCachedDates(TRootKey root, const std::string& prefix, TPatchMap& map, bool needDigest) {
  TPatchMap cached;
  LoadPatchListCache(root, prefix, cached);
  bool same = cached.Count() == map.Count();
  for (auto it = map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next()) {
    const TPatchItem* old = cached.Get(item->FileItem->FileName);
    const TFileItem& f = *item->FileItem;
    // The date vouches for the file only as the record it was taken for: the digest included,
    // so a record the publisher changed is read again even when its CRC-32 and size stayed.
    if (!old || old->FileItem->FileName != f.FileName || old->Checksum != item->Checksum ||
        old->FileItem->Checksum != f.Checksum || old->FileItem->Size != f.Size ||
        (needDigest && f.Sha256.empty()) || old->FileItem->Sha256 != f.Sha256) {
      same = false;
      continue;
    }
    item->FileItem->FileDate = old->FileItem->FileDate;
  }
  cached.Clear(true);
  return same;
}

}  // namespace kova
