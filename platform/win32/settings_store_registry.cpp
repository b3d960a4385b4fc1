// The settings store is the registry under HKEY_CURRENT_USER, through the ANSI functions so that
// names and texts keep their bytes.

#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/settings_store.h"

namespace kova::platform {

struct TRegKey {
  HKEY Key = nullptr;
};

namespace {

bool Open(const std::string& subKey, bool create, TRegKeyHandle& key) {
  HKEY opened = nullptr;
  LONG rc;
  if (create) {
    rc = RegCreateKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_READ | KEY_WRITE, nullptr, &opened, nullptr);
  } else {
    rc = RegOpenKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ | KEY_WRITE, &opened);
    if (rc == ERROR_ACCESS_DENIED)
      rc = RegOpenKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, &opened);
  }
  if (rc != ERROR_SUCCESS) return false;
  key = new TRegKey{opened};
  return true;
}

}  // namespace

bool CreateKey(TRegRoot, const std::string& subKey, TRegKeyHandle& key) {
  return Open(subKey, true, key);
}

bool OpenKey(TRegRoot, const std::string& subKey, TRegKeyHandle& key) {
  return Open(subKey, false, key);
}

void CloseKey(TRegKeyHandle key) {
  if (!key) return;
  RegCloseKey(key->Key);
  delete key;
}

bool SetValue(TRegKeyHandle key, const std::string& name, std::uint32_t type,
              const std::string& data) {
  return RegSetValueExA(key->Key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

bool QueryValue(TRegKeyHandle key, const std::string& name, std::uint32_t& type,
                std::string& data) {
  DWORD kind = 0, size = 0;
  if (RegQueryValueExA(key->Key, name.c_str(), nullptr, &kind, nullptr, &size) != ERROR_SUCCESS)
    return false;
  std::string bytes(size, '\0');
  if (RegQueryValueExA(key->Key, name.c_str(), nullptr, &kind,
                       reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS) {
    return false;
  }
  bytes.resize(size);
  type = kind;
  data = std::move(bytes);
  return true;
}

bool EnumValueName(TRegKeyHandle key, std::uint32_t index, std::string& name) {
  char buffer[1024];
  DWORD size = sizeof buffer;
  if (RegEnumValueA(key->Key, index, buffer, &size, nullptr, nullptr, nullptr, nullptr) !=
      ERROR_SUCCESS)
    return false;
  name.assign(buffer, size);
  return true;
}

bool EnumValues(
    TRegKeyHandle key,
    const std::function<bool(const std::string&, std::uint32_t, const std::string&)>& each) {
  DWORD longestName = 0, longestData = 0;
  if (RegQueryInfoKeyA(key->Key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::vector<char> name(longestName + 1);
  std::vector<BYTE> data(longestData + 1);
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = static_cast<DWORD>(name.size()), dataSize = static_cast<DWORD>(data.size()),
          type = 0;
    const LONG rc = RegEnumValueA(key->Key, index, name.data(), &nameSize, nullptr, &type,
                                  data.data(), &dataSize);
    if (rc != ERROR_SUCCESS) return true;  // the end of the list, or a value written meanwhile
    if (!each(std::string(name.data(), nameSize), type,
              std::string(reinterpret_cast<const char*>(data.data()), dataSize))) {
      return true;
    }
  }
}

bool DeleteKey(TRegKeyHandle key, const std::string& name) {
  return RegDeleteKeyA(key->Key, name.c_str()) == ERROR_SUCCESS;
}

TRegBatch::TRegBatch() = default;
TRegBatch::~TRegBatch() = default;

std::string SettingsStorePath() {
  return {};
}

std::string SettingsFolder() {
  for (const char* name : {"LOCALAPPDATA", "APPDATA"}) {
    const char* base = std::getenv(name);
    if (base && *base) return std::string(base) + "\\KovaUpdater";
  }
  return {};
}

void CloseSettingsStore() {}

}  // namespace kova::platform
