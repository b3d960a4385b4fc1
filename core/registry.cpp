#include "core/registry.h"

namespace kova {
namespace {

// Splits at the last backslash; false when there is none.
bool SplitPath(const std::string& path, std::string& key, std::string& name) {
  const std::size_t slash = path.rfind('\\');
  if (slash == std::string::npos) return false;
  key = path.substr(0, slash);
  name = path.substr(slash + 1);
  return true;
}

// Closes an open key at scope end.
struct TKeyHolder {
  platform::TRegKeyHandle key = nullptr;
  TKeyHolder() = default;
  TKeyHolder(const TKeyHolder&) = delete;
  TKeyHolder& operator=(const TKeyHolder&) = delete;
  ~TKeyHolder() {
    if (key) platform::CloseKey(key);
  }
};

constexpr std::size_t kNameBuffer = 1024;

}  // namespace

bool RegWriteString(TRootKey root, const std::string& path, const std::string& text) {
  std::string key, name;
  if (!SplitPath(path, key, name)) return false;
  TKeyHolder k;
  if (!platform::CreateKey(root, key, k.key)) return false;
  std::string data = text;
  data.push_back('\0');  // stored with its terminating zero byte
  return platform::SetValue(k.key, name, platform::kRegString, data);
}

bool RegReadString(TRootKey root, const std::string& path, std::string& text) {
  text.clear();
  std::string key, name;
  if (!SplitPath(path, key, name)) return false;
  TKeyHolder k;
  if (!platform::OpenKey(root, key, k.key)) return false;
  std::uint32_t type = 0;
  std::string data;
  if (!platform::QueryValue(k.key, name, type, data) || type != platform::kRegString) return false;
  if (!data.empty()) data.pop_back();  // the stored terminating zero
  text = data;
  return true;
}

bool RegDeleteKeyPath(TRootKey root, const std::string& path) {
  std::string key, name;
  if (!SplitPath(path, key, name)) return false;
  TKeyHolder k;
  if (!platform::OpenKey(root, key, k.key)) return false;
  return platform::DeleteKey(k.key, name);
}

bool RegListValueNames(TRootKey root, const std::string& keyPath, std::vector<std::string>& names) {
  TKeyHolder k;
  if (!platform::OpenKey(root, keyPath, k.key)) return false;
  std::string name;
  for (std::uint32_t index = 0; platform::EnumValueName(k.key, index, name); ++index) {
    if (name.size() >= kNameBuffer) break;  // would not fit the name buffer: enumeration ends
    names.push_back(name);
  }
  return true;
}

bool RegListStrings(TRootKey root, const std::string& keyPath,
                    std::vector<std::pair<std::string, std::string>>& values) {
  TKeyHolder k;
  if (!platform::OpenKey(root, keyPath, k.key)) return false;
  return platform::EnumValues(
      k.key, [&values](const std::string& name, std::uint32_t type, const std::string& data) {
        if (name.size() >= kNameBuffer) return false;  // as RegListValueNames: enumeration ends
        std::string text;
        // What RegReadString gives for the name: only a string value, and a name with a backslash
        // would be read from a subkey instead.
        if (type == platform::kRegString && name.find('\\') == std::string::npos) {
          text = data;
          if (!text.empty()) text.pop_back();  // the stored terminating zero
        }
        values.emplace_back(name, std::move(text));
        return true;
      });
}

}  // namespace kova
