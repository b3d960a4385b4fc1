#pragma once
// The program's four settings functions. Each takes a root and a path whose part after the last
// backslash names a value (or, for deletion, a key); they return success and never raise.

#include <string>
#include <utility>
#include <vector>

#include "platform/settings_store.h"

namespace kova {

using TRootKey = platform::TRegRoot;
constexpr TRootKey kHkeyCurrentUser = platform::TRegRoot::CurrentUser;

bool RegWriteString(TRootKey root, const std::string& path, const std::string& text);
// The text is empty on failure; a value that is not a text fails.
bool RegReadString(TRootKey root, const std::string& path, std::string& text);
// A path ending in a backslash names the key itself; a key with subkeys is not deleted.
bool RegDeleteKeyPath(TRootKey root, const std::string& path);
// Here the whole path names the key.
bool RegListValueNames(TRootKey root, const std::string& keyPath, std::vector<std::string>& names);
// RegListValueNames and RegReadString of each name in one pass over the key: every value's name
// with its text (empty when RegReadString would read none).
bool RegListStrings(TRootKey root, const std::string& keyPath,
                    std::vector<std::pair<std::string, std::string>>& values);

}  // namespace kova
