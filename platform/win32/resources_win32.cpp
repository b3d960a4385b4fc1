// The executable's own resources: RT_RCDATA items of its resource script.

#include <windows.h>

#include "platform/resources.h"

namespace kova::platform {

bool FindResourceData(const std::string& name, std::string_view& data) {
  HRSRC found = FindResourceA(nullptr, name.c_str(), MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (!found) return false;
  HGLOBAL loaded = LoadResource(nullptr, found);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) return false;
  data = std::string_view(static_cast<const char*>(bytes), SizeofResource(nullptr, found));
  return true;
}

}  // namespace kova::platform
