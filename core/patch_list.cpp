#include "core/patch_list.h"

#include <algorithm>
#include <climits>

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
}

void TPatchItem::Assign(const TFileItem& source) {
  if (const auto* patch = dynamic_cast<const TPatchItem*>(&source)) {
    FileItem->Assign(*patch->FileItem);
  } else {
    TFileItem::Assign(source);
  }
}

bool IsSafeRelativeName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  if (name[0] == '\\' || name[0] == '/') return false;   // absolute, UNC or device path
  if (name.size() >= 2 && name[1] == ':') return false;  // drive prefix, with or without a folder
  if (name.back() == '\\' || name.back() == '/') return false;  // names a folder
  std::size_t componentStart = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    const char c = i < name.size() ? name[i] : '/';
    // Control bytes (line ends, escapes, tabs) have no place in a file name: they would reach
    // terminals, logs and other programs as commands.
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || c == '|') return false;
    if (c == '\\' || c == '/') {
      const std::size_t length = i - componentStart;
      const bool dots =
          (length == 1 || length == 2) && name[componentStart] == '.' && name[i - 1] == '.';
      if (dots) return false;  // "." and ".." name folders, never a file of the game
      componentStart = i + 1;
    }
  }
  return true;
}

namespace {

// Puts a record for each "archive" element of the first top-level "list" as soon as it has been
// read, and keeps no element: a list of millions of entries never stands in memory as a tree
// beside its records.
class TPatchListSink : public IXmlElementSink {
 public:
  TPatchListSink(TPatchMap& map, std::int64_t* serial) : map_(map), serial_(serial) {}

  void ElementOpened(const TXmlElement& element, int depth) override {
    if (depth != 0) return;
    inList_ = !listSeen_ && element.NameId() == listId_;
    listSeen_ = listSeen_ || inList_;
    if (inList_ && serial_) {
      const std::string* text = element.FindById(serialId_);
      std::int64_t value = -1;
      if (text && (!ParseDecimal64(*text, value) || value < 0)) value = -1;
      *serial_ = value;
    }
  }

  bool ElementClosed(const TXmlElement& element, int depth) override {
    if (depth == 1 && inList_ && element.NameId() == archiveId_) Put(element);
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
    if (!ParseDecimal64(sizeText, size) || size < 0) {
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
    TPatchItem* previous = nullptr;
    map_.Put(fileName, record.release(), &previous);
    delete previous;  // the later entry of a list wins
  }

  TPatchMap& map_;
  std::int64_t* serial_;
  const TArchiveAttrs attrs_;
  const int serialId_ = TXmlNameTable::Shared().NameToId("serial");
  const int listId_ = TXmlNameTable::Shared().NameToId("list");
  const int archiveId_ = TXmlNameTable::Shared().NameToId("archive");
  bool listSeen_ = false;
  bool inList_ = false;
};

}  // namespace

void LoadPatchList(TStream& stream, TPatchMap& map, std::int64_t* serial) {
  if (serial) *serial = -1;
  auto document = NewXmlDocument();
  TPatchListSink sink(map, serial);
  document->ReadFromStream(stream, &sink);
}

std::string FormatCacheValue(const TPatchItem& item) {
  const TFileItem& f = *item.FileItem;
  return "archive|" + f.FileName + "|" + HexUpper8(item.Checksum) + "|" + HexUpper8(f.Checksum) +
         "|" + std::to_string(f.Size) + "|" + std::to_string(f.FileDate);
}

std::unique_ptr<TPatchItem> ParseCacheValue(const std::string& text) {
  const std::vector<std::string> fields = SplitByChar('|', text);  // [0] is the whole text
  if (fields.size() != 7 || !SameTextAscii(fields[1], "archive")) return nullptr;
  std::uint32_t archiveCrc = 0, fileCrc = 0;
  std::int64_t size = 0, date = 0;
  if (!IsSafeRelativeName(fields[2]) || !ParseHex32(fields[3], archiveCrc) ||
      !ParseHex32(fields[4], fileCrc) || !ParseDecimal64(fields[5], size) || size < 0 ||
      !ParseDecimal64(fields[6], date) || date < INT32_MIN || date > INT32_MAX) {
    return nullptr;
  }
  return MakeRecord(fields[2], fileCrc, size, static_cast<std::int32_t>(date), archiveCrc);
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
