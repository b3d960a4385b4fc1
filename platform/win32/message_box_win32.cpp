#include <windows.h>

#include "platform/message_box.h"

namespace kova::platform {

void InformationBox(const std::string& caption, const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
}

}  // namespace kova::platform
