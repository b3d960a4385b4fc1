#include "xml/xml_document.h"

#include "support/text.h"

namespace kova {

TXmlNameTable::TXmlNameTable() : buckets_(kBuckets) {
  for (const char* name : {"#text", "#cdata-section", "#comment", "#document", "xml"}) NameToId(name);
}

TXmlNameTable& TXmlNameTable::Shared() {
  static TXmlNameTable table;
  return table;
}

int TXmlNameTable::NameToId(const std::string& name) {
  std::uint32_t h = 0;
  for (char c : name) h = h * 33u + static_cast<unsigned char>(c);
  std::vector<int>& bucket = buckets_[h % kBuckets];
  for (int id : bucket) {
    if (names_[static_cast<std::size_t>(id)] == name) return id;
  }
  const int id = static_cast<int>(names_.size());
  names_.push_back(name);
  bucket.push_back(id);
  return id;
}

const std::string& TXmlNameTable::IdToName(int id) const {
  static const std::string kEmpty;
  if (id < 0 || static_cast<std::size_t>(id) >= names_.size()) return kEmpty;
  return names_[static_cast<std::size_t>(id)];
}

TXmlNode* TXmlNodeList::Item(std::size_t index) const {
  if (index >= nodes_.size()) {
    throw EListError("Ошибка получения элемента списка: индекс выходит за пределы");
  }
  return nodes_[index].get();
}

namespace {

bool IsPlainName(const std::string& name) {
  if (name.empty()) return false;
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || static_cast<unsigned char>(c) >= 0x80; };
  if (!letter(name[0]) && name[0] != '_') return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.' && c != ':' && c != '_') return false;
  }
  return true;
}

}  // namespace

TXmlElement* TXmlContainer::FindChildElement(const std::string& name) const {
  if (!IsPlainName(name)) throw EXmlError("Feature is not supported: path query \"" + name + "\"");
  const int id = TXmlNameTable::Shared().NameToId(name);
  for (std::size_t i = 0; i < children_.Count(); ++i) {
    TXmlNode* node = children_.Item(i);
    if (node->Kind() == xnkElement && node->NameId() == id) return static_cast<TXmlElement*>(node);
  }
  return nullptr;
}

const TXmlAttrData* TXmlAttributes::Find(const std::string& name) const {
  for (const TXmlAttrData& a : attrs_) {
    if (TXmlNameTable::Shared().IdToName(a.NameId) == name) return &a;
  }
  return nullptr;
}

bool TXmlAttributes::HasAttr(const std::string& name) const { return Find(name) != nullptr; }

std::string TXmlAttributes::AttrText(const std::string& name, const std::string& defaultValue) const {
  const TXmlAttrData* a = Find(name);
  return a ? a->Value : defaultValue;
}

std::int32_t TXmlAttributes::AttrInt(const std::string& name, std::int32_t defaultValue) const {
  const TXmlAttrData* a = Find(name);
  if (!a) return defaultValue;
  std::int32_t value = 0;
  if (!ParseInteger32(TrimBlanks(a->Value), value)) {
    throw EConvertError("'" + a->Value + "' is not a valid integer value");
  }
  return value;
}

const std::string* TXmlAttributes::FindById(int nameId) const {
  for (const TXmlAttrData& a : attrs_) {
    if (a.NameId == nameId) return &a.Value;
  }
  return nullptr;
}

void TXmlAttributes::SetAttr(int nameId, std::string value) {
  for (TXmlAttrData& a : attrs_) {
    if (a.NameId == nameId) {
      a.Value = std::move(value);
      return;
    }
  }
  if (attrs_.empty()) attrs_.reserve(4);
  attrs_.push_back(TXmlAttrData{nameId, std::move(value)});
}

std::string TXmlElement::ElementText() const {
  std::string out;
  for (std::size_t i = 0; i < ChildCount(); ++i) {
    const TXmlNode* node = ChildAt(i);
    std::string piece;
    switch (node->Kind()) {
      case xnkElement: piece = static_cast<const TXmlElement*>(node)->ElementText(); break;
      case xnkText: piece = static_cast<const TXmlText*>(node)->Text; break;
      case xnkCDATASection: piece = static_cast<const TXmlCDATASection*>(node)->Text; break;
      default: continue;
    }
    if (piece.empty()) continue;
    if (!out.empty()) out += ' ';
    out += piece;
  }
  return out;
}

std::unique_ptr<TXmlDocument> NewXmlDocument() { return std::make_unique<TXmlDocument>(); }

}  // namespace kova
