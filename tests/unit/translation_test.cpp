// Texts in the player's language: reading gettext catalogs, and which catalog is used.

#include "support/translation.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <utility>

#include "core/language.h"
#include "tests/common/temp_dir.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/shown_text.h"
#else
#include "platform/language.h"
#endif

namespace kova {
namespace {

// A catalog as msgfmt writes it: header, the table of the English texts' (length, offset), the
// translations' table, then the texts.
std::string Catalog(const std::vector<std::pair<std::string, std::string>>& texts,
                    bool bigEndian = false) {
  std::string head, strings;
  const auto word = [&](std::size_t v) {
    for (int i = 0; i < 4; ++i)
      head += static_cast<char>(bigEndian ? v >> (24 - 8 * i) : v >> (8 * i));
  };
  const std::size_t n = texts.size(), start = 28 + 16 * n;
  for (std::size_t v : {std::size_t{0x950412de}, std::size_t{0}, n, std::size_t{28}, 28 + 8 * n,
                        std::size_t{0}, std::size_t{0}})
    word(v);
  for (const bool translated : {false, true}) {
    for (const auto& pair : texts) {
      const std::string& text = translated ? pair.second : pair.first;
      word(text.size());
      word(start + strings.size());
      strings += text + '\0';
    }
  }
  return head + strings;
}

TEST(Translation, ACatalogTranslatesWhatItHoldsWithTheSamePlacesAndNothingElse) {
  const std::vector<std::pair<std::string, std::string>> texts{
      {"", "Content-Type: text/plain; charset=UTF-8\n"},
      {"Paused", "Angehalten"},
      {"Downloading %s", "Lade %s herunter"},
      {"Error while checking %s. Error code: %d", "Code %d bei %s"},  // places swapped
      {"Unpacking %s", "Entpacke"},                                   // a place lost
      {"Checking %s", "Prüfe %s %s"},                                 // a place added
      {"100%% of %s", "%s zu 100%%"}};
  for (const bool bigEndian : {false, true}) {
    TCatalog catalog;
    ASSERT_TRUE(catalog.Load(Catalog(texts, bigEndian)));
    UseCatalog(std::move(catalog));
    EXPECT_STREQ(Tr("Paused"), "Angehalten");
    EXPECT_STREQ(Tr("Check cancelled by user"), "Check cancelled by user");
    // A value is put in as it is, even when it looks like a place itself.
    EXPECT_EQ(TrFormat("Downloading %s", {"data\\%s%d.pak"}), "Lade data\\%s%d.pak herunter");
    // A translation that would put a value where another belongs, or drop or add one, is not used.
    EXPECT_EQ(TrFormat("Error while checking %s. Error code: %d", {"a.pak", "5"}),
              "Error while checking a.pak. Error code: 5");
    EXPECT_EQ(TrFormat("Unpacking %s", {"a.pak"}), "Unpacking a.pak");
    EXPECT_EQ(TrFormat("Checking %s", {"a.pak"}), "Checking a.pak");
    EXPECT_EQ(TrFormat("100%% of %s", {"a"}), "a zu 100%");
  }
  UseEnglish();
  EXPECT_STREQ(Tr("Paused"), "Paused");

  // Whatever the bytes, a catalog that is not whole is refused as a whole.
  const std::string good = Catalog(texts);
  TCatalog catalog;
  for (std::size_t cut : {std::size_t{0}, std::size_t{27}, good.size() - 3}) {
    EXPECT_FALSE(catalog.Load(good.substr(0, cut))) << cut;
    EXPECT_EQ(catalog.Size(), 0u);
  }
  std::string farOffset = good;
  farOffset[28 + 7] = '\x7f';  // the first text's offset past the end
  EXPECT_FALSE(catalog.Load(farOffset));
  std::string manyTexts = good;
  manyTexts[11] = '\x7f';  // a count of texts the file cannot hold
  EXPECT_FALSE(catalog.Load(manyTexts));

  // 40,000 entries whose translations all point into one text of 4,000 bytes: that text is
  // held once when every entry names the same piece of it, and a catalog whose entries name
  // 40,000 pieces of it, each starting a byte later, would have the program hold 160 MB.
  constexpr std::size_t n = 40000, start = 28 + 16 * n, length = 4000;
  const auto overlapping = [&](std::size_t step) {
    std::string out, strings(length + n, 'x');
    const auto word = [&](std::size_t v) {
      for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
    };
    for (std::size_t v : {std::size_t{0x950412de}, std::size_t{0}, n, std::size_t{28}, 28 + 8 * n,
                          std::size_t{0}, std::size_t{0}})
      word(v);
    for (std::size_t i = 0; i < n; ++i) {  // English: "e" and the entry's number
      const std::string english = "e" + std::to_string(i);
      word(english.size());
      word(start + strings.size());
      strings += english + '\0';
    }
    for (std::size_t i = 0; i < n; ++i) {
      word(length);
      word(start + step * i);
    }
    return out + strings;
  };
  ASSERT_LT(overlapping(1).size(), TCatalog::kMaxFile);
  ASSERT_TRUE(catalog.Load(overlapping(0)));
  EXPECT_EQ(catalog.Size(), n);
  const std::string* last = catalog.Find("e39999");
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(*last, std::string(length, 'x'));
  EXPECT_FALSE(catalog.Load(overlapping(1)));
  EXPECT_EQ(catalog.Size(), 0u);
}

TEST(Translation, ALanguageIsLookedUpMostPreciseFirstInThePublishersFoldersThenBuiltIn) {
  EXPECT_EQ(LanguageNames("de_AT.UTF-8@euro"), (std::vector<std::string>{"de_AT", "de"}));
  EXPECT_EQ(LanguageNames("ru-RU"), (std::vector<std::string>{"ru_RU", "ru"}));
  EXPECT_EQ(LanguageNames("PT_br"), (std::vector<std::string>{"pt_BR", "pt"}));
  for (const char* none : {"", "C", "POSIX", "C.UTF-8", "../../etc", "de/../x"})
    EXPECT_TRUE(LanguageNames(none).empty()) << none;

  test::TTempDir dir;
  const std::string folder = dir.Path() + "/";
  const auto put = [&](const std::string& name, const std::string& bytes) {
    std::filesystem::create_directories(folder + "locale/" + name + "/LC_MESSAGES");
    test::WriteFile(folder + "locale/" + name + "/LC_MESSAGES/kovaupdater.mo", bytes);
  };
  // Built in: German and Russian, found by a locale's territory-free name.
  EXPECT_EQ(ChooseLanguage("ru_UA.UTF-8", {folder}), "ru");
  EXPECT_STREQ(Tr("Paused"), "Приостановлено");
  // A publisher's catalog for a language the program does not ship, and one that replaces a
  // built-in one; a broken one is passed over.
  put("fr", Catalog({{"Paused", "En pause"}}));
  EXPECT_EQ(ChooseLanguage("fr_CA", {folder}), "fr");
  EXPECT_STREQ(Tr("Paused"), "En pause");
  put("de_CH", Catalog({{"Paused", "Pausiert"}}));
  EXPECT_EQ(ChooseLanguage("de_CH", {folder}), "de_CH");
  EXPECT_STREQ(Tr("Paused"), "Pausiert");
  put("de", "not a catalog");
  EXPECT_EQ(ChooseLanguage("de", {folder}), "de");
  EXPECT_STREQ(Tr("Paused"), "Angehalten");
  // No catalog: English.
  EXPECT_EQ(ChooseLanguage("it", {folder}), "");
  EXPECT_STREQ(Tr("Paused"), "Paused");
}

#ifdef _WIN32
TEST(Translation, TextsReachTheWideFunctionsAsTheCharactersTheyAre) {
  // A translated text in UTF-8, with a name of the system's code page put into it.
  const std::wstring shown = platform::ShownText("Загрузка caf\xe9.pak \xf0\x9f\x8e\xae");
  wchar_t e = 0;
  MultiByteToWideChar(CP_ACP, 0, "\xe9", 1, &e, 1);
  EXPECT_EQ(shown, std::wstring(L"\x0417\x0430\x0433\x0440\x0443\x0437\x043a\x0430 caf") + e +
                       L".pak \xd83c\xdfae");
  // An overlong form is no UTF-8 character: each byte is read in the code page.
  wchar_t c0 = 0, af = 0;
  MultiByteToWideChar(CP_ACP, 0, "\xc0", 1, &c0, 1);
  MultiByteToWideChar(CP_ACP, 0, "\xaf", 1, &af, 1);
  EXPECT_EQ(platform::ShownText("\xc0\xaf"), (std::wstring{c0, af}));
}
#else
TEST(Translation, ThePlayersLocaleIsReadAsGettextReadsIt) {
  const struct {
    const char *all, *messages, *lang, *language;
    std::vector<std::string> want;
  } cases[] = {
      {nullptr, nullptr, "de_DE.UTF-8", nullptr, {"de_DE.UTF-8"}},
      {nullptr, "ru_RU.UTF-8", "de_DE.UTF-8", nullptr, {"ru_RU.UTF-8"}},
      {"fr_FR", "ru_RU.UTF-8", "de_DE.UTF-8", "it:pt_BR", {"it", "pt_BR", "fr_FR"}},
      {nullptr, nullptr, "C", "de", {}},  // gettext: the C locale means the program's own texts
      {nullptr, nullptr, nullptr, "de", {}},
  };
  for (const auto& c : cases) {
    for (const auto& [name, value] : {std::pair{"LC_ALL", c.all},
                                      {"LC_MESSAGES", c.messages},
                                      {"LANG", c.lang},
                                      {"LANGUAGE", c.language}}) {
      if (value)
        ::setenv(name, value, 1);
      else
        ::unsetenv(name);
    }
    EXPECT_EQ(platform::PlayerLocales(), c.want) << (c.lang ? c.lang : "-");
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE"}) ::unsetenv(name);
}
#endif

}  // namespace
}  // namespace kova
