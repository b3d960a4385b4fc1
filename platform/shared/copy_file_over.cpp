#include "platform/files.h"

namespace kova::platform {

bool CopyFileOver(const std::string& from, const std::string& to) {
  if (!CopyBeside(from, to)) return false;
  if (PutCopyInPlace(to)) return true;
  RemoveFile(to + kCopySuffix);
  return false;
}

}  // namespace kova::platform
