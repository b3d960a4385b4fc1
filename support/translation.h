#pragma once
// Texts in the player's language. A catalog is gettext's compiled form (.mo): pairs of an
// English text and its translation. The English texts stay the source: a text the catalog does
// not hold, or holds with other placeholders, is shown in English.

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kova {

class TCatalog {
 public:
  // Reads a catalog's bytes. False, with nothing kept, when they are not a well-formed catalog,
  // or when it would have the program hold more than kMaxTexts of texts. A translation whose %s
  // and %d places differ from its English text's is left out, so a mistake in a catalog can
  // never make a text take a value it has no place for.
  bool Load(std::string_view data);
  // The translation of `english`, or null.
  const std::string* Find(std::string_view english) const;
  std::size_t Size() const { return texts_.size(); }

  // The launcher's catalogs hold a few hundred short texts, some 20 KiB: a file larger than
  // kMaxFile is none of them, and its texts together (each piece of the file counted once,
  // however many entries point at it) may not pass kMaxTexts.
  // An entry whose text is longer than kMaxText is none the launcher shows.
  static constexpr std::size_t kMaxFile = 1 << 20;
  static constexpr std::size_t kMaxTexts = 1 << 20;
  static constexpr std::size_t kMaxText = 4096;

 private:
  struct TTextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  // Each translation once, however many entries share it; an English text maps to its index.
  std::unordered_map<std::string, std::size_t, TTextHash, std::equal_to<>> texts_;
  std::vector<std::string> translations_;
};

// Makes `catalog` the one texts are shown from (null: English). Catalogs are kept for the life
// of the program, so a text another thread is showing stays valid when the language changes.
void UseCatalog(TCatalog&& catalog);
void UseEnglish();

// The text to show for an English text.
const char* Tr(const char* english);
// Marks an English text to translate where it is shown later, so the catalogs' template finds it.
constexpr const char* TrNoop(const char* english) {
  return english;
}
// The text to show for an English text with %s and %d places, filled in their order with
// `values` ("%%" stands for one "%"). Values are put in as they are, never read as a format.
std::string TrFormat(const char* english, std::initializer_list<std::string_view> values);
// Fills the %s and %d places of `text` as TrFormat does, without translating.
std::string FillPlaces(std::string_view text, std::initializer_list<std::string_view> values);

// The names a locale name ("de_AT.UTF-8@euro") is looked up under, most precise first
// ("de_AT", "de"); none for "C", "POSIX" or a name that is no language.
std::vector<std::string> LanguageNames(const std::string& locale);

}  // namespace kova
