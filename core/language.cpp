#include "core/language.h"

#include "core/utility.h"
#include "platform/files.h"
#include "platform/language.h"
#include "platform/resources.h"
#include "support/translation.h"

namespace kova {

namespace {

constexpr auto kMostCatalogBytes = static_cast<std::int64_t>(TCatalog::kMaxFile);

bool LoadCatalog(const std::string& name, const std::vector<std::string>& folders) {
  TCatalog catalog;
  for (const std::string& folder : folders) {
    const std::string path = folder + "locale/" + name + "/LC_MESSAGES/kovaupdater.mo";
    if (!platform::FileExists(path)) continue;
    try {
      // A catalog that cannot be read or is no catalog is passed over, as if it were not there.
      if (catalog.Load(platform::ReadFileWhole(path, kMostCatalogBytes))) {
        UseCatalog(std::move(catalog));
        return true;
      }
    } catch (const std::exception&) {
    }
  }
  std::string resource = "CATALOG_" + name;
  for (char& c : resource) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  std::string_view builtIn;
  if (platform::FindResourceData(resource, builtIn) && catalog.Load(builtIn)) {
    UseCatalog(std::move(catalog));
    return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> LanguageFolders(const std::string& gameFolder,
                                         const std::string& exePath) {
  std::vector<std::string> folders{gameFolder};
  const std::string own = ExtractFilePath(exePath);
  if (own != gameFolder) folders.push_back(own);
  return folders;
}

std::string ChooseLanguage(const std::string& requested, const std::vector<std::string>& folders) {
  const std::vector<std::string> locales =
      requested.empty() ? platform::PlayerLocales() : std::vector<std::string>{requested};
  for (const std::string& locale : locales) {
    for (const std::string& name : LanguageNames(locale)) {
      if (LoadCatalog(name, folders)) return name;
    }
  }
  UseEnglish();
  return {};
}

}  // namespace kova
