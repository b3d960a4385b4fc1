#include "xml/xml_document.h"

#include <random>

#include "support/text.h"

namespace kova {

namespace {

std::uint64_t Rotl(std::uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

// SipHash-2-4: a hash keyed with a secret, whose collisions cannot be chosen without the key.
std::uint64_t SipHash(const std::uint64_t key[2], std::string_view data) {
  std::uint64_t v0 = 0x736f6d6570736575ull ^ key[0], v1 = 0x646f72616e646f6dull ^ key[1];
  std::uint64_t v2 = 0x6c7967656e657261ull ^ key[0], v3 = 0x7465646279746573ull ^ key[1];
  auto round = [&] {
    v0 += v1;
    v1 = Rotl(v1, 13);
    v1 ^= v0;
    v0 = Rotl(v0, 32);
    v2 += v3;
    v3 = Rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = Rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = Rotl(v1, 17);
    v1 ^= v2;
    v2 = Rotl(v2, 32);
  };
  const std::size_t n = data.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t m = 0;
    for (int b = 7; b >= 0; --b)
      m = (m << 8) | static_cast<unsigned char>(data[i + static_cast<std::size_t>(b)]);
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
  for (std::size_t b = 0; i + b < n; ++b)
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i + b])) << (8 * b);
  v3 ^= last;
  round();
  round();
  v0 ^= last;
  v2 ^= 0xff;
  for (int r = 0; r < 4; ++r) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

std::size_t TXmlNameTable::THash::operator()(std::string_view s) const {
  return static_cast<std::size_t>(SipHash(Key, s));
}

TXmlNameTable::TXmlNameTable() : ids_(64, THash{{0, 0}}) {
  std::random_device random;
  const THash keyed{
      {(std::uint64_t{random()} << 32) | random(), (std::uint64_t{random()} << 32) | random()}};
  ids_ = std::unordered_map<std::string, int, THash, TEqual>(64, keyed);
  for (const char* name : {"#text", "#cdata-section", "#comment", "#document", "xml"})
    NameToId(name);
}

TXmlNameTable& TXmlNameTable::Shared() {
  static TXmlNameTable table;
  return table;
}

int TXmlNameTable::NameToId(const std::string& name) {
  const auto found = ids_.find(name);
  if (found != ids_.end()) return found->second;
  const int id = static_cast<int>(names_.size());
  names_.push_back(name);
  ids_.emplace(name, id);
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
  auto letter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           static_cast<unsigned char>(c) >= 0x80;
  };
  if (!letter(name[0]) && name[0] != '_') return false;
  for (char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.' && c != ':' && c != '_')
      return false;
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

bool TXmlAttributes::HasAttr(const std::string& name) const {
  return Find(name) != nullptr;
}

std::string TXmlAttributes::AttrText(const std::string& name,
                                     const std::string& defaultValue) const {
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
  if (attrs_.size() >= kXmlMaxAttributes) {
    throw EXmlError("An element has more than " + std::to_string(kXmlMaxAttributes) +
                    " attributes");
  }
  if (attrs_.empty()) attrs_.reserve(4);
  attrs_.push_back(TXmlAttrData{nameId, std::move(value)});
}

std::string TXmlElement::ElementText() const {
  std::string out;
  AppendText(out);
  return out;
}

void TXmlElement::AppendText(std::string& out) const {
  // Every piece is appended to the one result: a copy per level of nesting would cost the
  // document's text once more for every level.
  const std::size_t start = out.size();
  for (std::size_t i = 0; i < ChildCount(); ++i) {
    const TXmlNode* node = ChildAt(i);
    const std::size_t before = out.size();
    if (out.size() > start) out += ' ';
    const std::size_t mark = out.size();
    switch (node->Kind()) {
      case xnkElement:
        static_cast<const TXmlElement*>(node)->AppendText(out);
        break;
      case xnkText:
        out += static_cast<const TXmlText*>(node)->Text;
        break;
      case xnkCDATASection:
        out += static_cast<const TXmlCDATASection*>(node)->Text;
        break;
      default:
        break;
    }
    if (out.size() == mark) out.resize(before);  // an empty piece adds no blank
  }
}

std::unique_ptr<TXmlDocument> NewXmlDocument() {
  return std::make_unique<TXmlDocument>();
}

}  // namespace kova
