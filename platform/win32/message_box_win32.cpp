#include <windows.h>

#include "platform/message_box.h"
#include "platform/win32/shown_text.h"

namespace kova::platform {

void InformationBox(const std::string& caption, const std::string& text) {
  MessageBoxW(nullptr, ShownText(text).c_str(), ShownText(caption).c_str(),
              MB_OK | MB_ICONINFORMATION);
}

}  // namespace kova::platform
