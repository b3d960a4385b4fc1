#include "support/translation.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace kova {

namespace {

constexpr std::uint32_t kMagic = 0x950412de;

// The places a text takes values in, in order ("ss", "sd"); false for a "%" that starts none.
bool Places(std::string_view text, std::string& places) {
  places.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 == text.size()) return false;
    const char kind = text[++i];
    if (kind == 's' || kind == 'd')
      places += kind;
    else if (kind != '%')
      return false;
  }
  return true;
}

class TReader {
 public:
  TReader(std::string_view data) : data_(data) { swapped_ = data.size() >= 4 && Raw(0) != kMagic; }
  bool Word(std::size_t at, std::uint32_t& value) const {
    if (at > data_.size() || data_.size() - at < 4) return false;
    std::uint32_t v = Raw(at);
    if (swapped_) v = (v >> 24) | ((v >> 8) & 0xff00) | ((v << 8) & 0xff0000) | (v << 24);
    value = v;
    return true;
  }
  // The string described at table entry `at` (length, then offset).
  bool Text(std::size_t at, std::string_view& text) const {
    std::uint32_t length = 0, offset = 0;
    if (!Word(at, length) || !Word(at + 4, offset)) return false;
    if (offset > data_.size() || data_.size() - offset < length) return false;
    text = data_.substr(offset, length);
    return true;
  }

 private:
  std::uint32_t Raw(std::size_t at) const {
    std::uint32_t v;
    std::memcpy(&v, data_.data() + at, 4);
    return v;
  }
  std::string_view data_;
  bool swapped_ = false;
};

std::mutex catalogsMutex;
std::deque<TCatalog> catalogs;  // every catalog used, so no text shown from one dangles
std::atomic<const TCatalog*> current{nullptr};

}  // namespace

bool TCatalog::Load(std::string_view data) {
  texts_.clear();
  translations_.clear();
  if (data.size() < 28 || data.size() > kMaxFile) return false;
  TReader reader(data);
  std::uint32_t magic = 0, revision = 0, count = 0, originals = 0, translations = 0;
  reader.Word(0, magic);
  reader.Word(4, revision);
  reader.Word(8, count);
  reader.Word(12, originals);
  reader.Word(16, translations);
  if (magic != kMagic || (revision >> 16) > 1 || count > data.size() / 16) return false;
  std::string wanted, given;
  // Entries may point at overlapping pieces of the file, the same long text again and again:
  // each piece is held once, and what is held together is capped.
  std::map<std::pair<std::size_t, std::size_t>, std::size_t> held;  // (offset, size) -> index
  std::size_t heldBytes = 0;
  const auto fail = [this] {
    texts_.clear();
    translations_.clear();
    return false;
  };
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string_view english, translated;
    if (!reader.Text(std::size_t{originals} + 8 * std::size_t{i}, english) ||
        !reader.Text(std::size_t{translations} + 8 * std::size_t{i}, translated))
      return fail();
    // The empty text carries the catalog's header; a text with a context or a plural form
    // (a NUL inside) is not one the launcher asks for.
    if (english.empty() || translated.empty() || english.find('\0') != std::string_view::npos)
      continue;
    if (const auto nul = translated.find('\0'); nul != std::string_view::npos)
      translated = translated.substr(0, nul);
    if (english.size() > kMaxText || translated.size() > kMaxText) continue;
    if (!Places(english, wanted) || !Places(translated, given) || wanted != given) continue;
    if (texts_.find(english) != texts_.end()) continue;  // the first entry of a text holds
    const std::pair<std::size_t, std::size_t> piece{
        static_cast<std::size_t>(translated.data() - data.data()), translated.size()};
    auto found = held.find(piece);
    const std::size_t adds = english.size() + (found == held.end() ? translated.size() : 0);
    if (adds > kMaxTexts - heldBytes) return fail();
    heldBytes += adds;
    if (found == held.end()) {
      found = held.emplace(piece, translations_.size()).first;
      translations_.emplace_back(translated);
    }
    texts_.emplace(std::string(english), found->second);
  }
  return true;
}

const std::string* TCatalog::Find(std::string_view english) const {
  const auto found = texts_.find(english);
  return found == texts_.end() ? nullptr : &translations_[found->second];
}

void UseCatalog(TCatalog&& catalog) {
  std::lock_guard lock(catalogsMutex);
  catalogs.push_back(std::move(catalog));
  current = &catalogs.back();
}

void UseEnglish() {
  current = nullptr;
}

const char* Tr(const char* english) {
  const TCatalog* catalog = current;
  if (!catalog) return english;
  const std::string* translated = catalog->Find(english);
  return translated ? translated->c_str() : english;
}

std::string TrFormat(const char* english, std::initializer_list<std::string_view> values) {
  return FillPlaces(Tr(english), values);
}

std::string FillPlaces(std::string_view text, std::initializer_list<std::string_view> values) {
  std::string out;
  auto value = values.begin();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size()) {
      const char kind = text[++i];
      if (kind == '%') {
        out += '%';
      } else if (value != values.end()) {
        out += *value++;
      }
      continue;
    }
    out += text[i];
  }
  return out;
}

std::vector<std::string> LanguageNames(const std::string& locale) {
  std::string name = locale.substr(0, locale.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return {};
  for (char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && c != '_' && c != '-') return {};
  }
  // "de-AT" as Windows writes it, "DE_at" as a hand may: catalogs are named "de_AT".
  std::replace(name.begin(), name.end(), '-', '_');
  const auto cut = name.find('_');
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool upper = cut != std::string::npos && i > cut;
    name[i] = static_cast<char>(upper ? std::toupper(static_cast<unsigned char>(name[i]))
                                      : std::tolower(static_cast<unsigned char>(name[i])));
  }
  std::vector<std::string> names{name};
  if (cut != std::string::npos && cut > 0) names.push_back(name.substr(0, cut));
  return names;
}

}  // namespace kova
