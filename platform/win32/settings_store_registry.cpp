// The settings store is the registry under HKEY_CURRENT_USER, through the wide functions: names
// and string values are UTF-8 here and UTF-16 in the registry, so a game folder or a file name
// reads the same in the registry editor as in Explorer.

#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/settings_store.h"
#include "platform/win32/wide_path.h"

namespace kova::platform {

struct TRegKey {
  HKEY Key = nullptr;
};

namespace {

bool Open(const std::string& subKey, bool create, TRegKeyHandle& key) {
  HKEY opened = nullptr;
  LONG rc;
  const std::wstring name = Wide(subKey);
  if (create) {
    rc = RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_READ | KEY_WRITE, nullptr, &opened, nullptr);
  } else {
    rc = RegOpenKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, KEY_READ | KEY_WRITE, &opened);
    if (rc == ERROR_ACCESS_DENIED)
      rc = RegOpenKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, KEY_READ, &opened);
  }
  if (rc != ERROR_SUCCESS) return false;
  key = new TRegKey{opened};
  return true;
}

bool IsText(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ;
}

// A text value as the store's callers hold it: UTF-8 with its terminating zero byte.
std::string TextOf(const BYTE* data, DWORD size) {
  std::wstring wide(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
  while (!wide.empty() && wide.back() == L'\0') wide.pop_back();
  return Utf8(wide) + '\0';
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
  if (IsText(type)) {
    std::string text = data;
    if (!text.empty() && text.back() == '\0') text.pop_back();
    const std::wstring wide = Wide(text) + L'\0';
    return RegSetValueExW(key->Key, Wide(name).c_str(), 0, type,
                          reinterpret_cast<const BYTE*>(wide.data()),
                          static_cast<DWORD>(wide.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  return RegSetValueExW(key->Key, Wide(name).c_str(), 0, type,
                        reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

bool QueryValue(TRegKeyHandle key, const std::string& name, std::uint32_t& type,
                std::string& data) {
  const std::wstring wideName = Wide(name);
  DWORD kind = 0, size = 0;
  if (RegQueryValueExW(key->Key, wideName.c_str(), nullptr, &kind, nullptr, &size) != ERROR_SUCCESS)
    return false;
  std::vector<BYTE> bytes(size + sizeof(wchar_t));
  if (RegQueryValueExW(key->Key, wideName.c_str(), nullptr, &kind, bytes.data(), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  type = kind;
  data = IsText(kind) ? TextOf(bytes.data(), size)
                      : std::string(reinterpret_cast<const char*>(bytes.data()), size);
  return true;
}

bool EnumValueName(TRegKeyHandle key, std::uint32_t index, std::string& name) {
  wchar_t buffer[1024];
  DWORD size = 1024;
  if (RegEnumValueW(key->Key, index, buffer, &size, nullptr, nullptr, nullptr, nullptr) !=
      ERROR_SUCCESS)
    return false;
  name = Utf8(buffer, size);
  return true;
}

bool EnumValues(
    TRegKeyHandle key,
    const std::function<bool(const std::string&, std::uint32_t, const std::string&)>& each) {
  DWORD longestName = 0, longestData = 0;
  if (RegQueryInfoKeyW(key->Key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::vector<wchar_t> name(longestName + 1);
  std::vector<BYTE> data(longestData + sizeof(wchar_t));
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = static_cast<DWORD>(name.size()), dataSize = static_cast<DWORD>(data.size()),
          type = 0;
    const LONG rc = RegEnumValueW(key->Key, index, name.data(), &nameSize, nullptr, &type,
                                  data.data(), &dataSize);
    if (rc != ERROR_SUCCESS) return true;  // the end of the list, or a value written meanwhile
    const std::string value =
        IsText(type) ? TextOf(data.data(), dataSize)
                     : std::string(reinterpret_cast<const char*>(data.data()), dataSize);
    if (!each(Utf8(name.data(), nameSize), type, value)) return true;
  }
}

bool DeleteKey(TRegKeyHandle key, const std::string& name) {
  return RegDeleteKeyW(key->Key, Wide(name).c_str()) == ERROR_SUCCESS;
}

TRegBatch::TRegBatch() = default;
TRegBatch::~TRegBatch() = default;

std::string SettingsStorePath() {
  return {};
}

std::string SettingsFolder() {
  for (const wchar_t* name : {L"LOCALAPPDATA", L"APPDATA"}) {
    const wchar_t* base = _wgetenv(name);
    if (base && *base) return Utf8(base) + "\\KovaUpdater";
  }
  return {};
}

void CloseSettingsStore() {}

}  // namespace kova::platform
