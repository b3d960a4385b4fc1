#pragma once
// The per-user settings store, a tree of keys holding named values: the registry's
// HKEY_CURRENT_USER on Windows, elsewhere an SQLite file ($XDG_CONFIG_HOME/kovaupdater/
// registry.sqlite3, or the file named by KOVA_REGISTRY) readable by its owner alone.
//
// Key and value names compare case-insensitively (ASCII), values enumerate in the order they
// were created, a key that has subkeys cannot be deleted, and texts keep their bytes. Every call
// returns success or failure; none raises. A store that cannot be opened or read fails every
// call, which leaves the program on its defaults.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kova::platform {

enum class TRegRoot { CurrentUser };

enum TRegValueType : std::uint32_t { kRegNone = 0, kRegString = 1, kRegBinary = 3, kRegDword = 4 };

struct TRegKey;  // an open key
using TRegKeyHandle = TRegKey*;

// Opens `subKey` (backslash-separated) under the root, creating missing keys.
bool CreateKey(TRegRoot root, const std::string& subKey, TRegKeyHandle& key);
// Opens an existing key.
bool OpenKey(TRegRoot root, const std::string& subKey, TRegKeyHandle& key);
void CloseKey(TRegKeyHandle key);
bool SetValue(TRegKeyHandle key, const std::string& name, std::uint32_t type,
              const std::string& data);
bool QueryValue(TRegKeyHandle key, const std::string& name, std::uint32_t& type, std::string& data);
// Names by index in creation order; false past the end. Index 0 takes a snapshot that later
// indexes are served from, so walking a key of thousands of values stays linear.
bool EnumValueName(TRegKeyHandle key, std::uint32_t index, std::string& name);
// Every value of the key in creation order, with its type and data, in one pass; `each` returns
// false to stop. For readers of many values, where a query per value would cost more.
bool EnumValues(
    TRegKeyHandle key,
    const std::function<bool(const std::string&, std::uint32_t, const std::string&)>& each);
// Deletes the direct subkey `name` of `key` (the key itself when `name` is empty) with its
// values; fails when it has subkeys.
bool DeleteKey(TRegKeyHandle key, const std::string& name);

// Groups the writes made while it lives into one commit where the store has commits (thousands
// of values stay fast and land together); elsewhere it changes nothing. Nests; only the
// outermost one commits.
class TRegBatch {
 public:
  TRegBatch();
  ~TRegBatch();
  TRegBatch(const TRegBatch&) = delete;
  TRegBatch& operator=(const TRegBatch&) = delete;
};

// The store's file, as chosen from the environment; empty where the store is no file.
std::string SettingsStorePath();
// The per-user folder for what the settings store should not hold (whole documents kept between
// runs): the store's own folder, or on Windows "KovaUpdater" in the local application data.
// Empty when there is none.
std::string SettingsFolder();
// Closes the store; the next call opens it again (tests switch files this way).
void CloseSettingsStore();

}  // namespace kova::platform
