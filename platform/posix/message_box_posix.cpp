#include <cstdio>

#include "platform/message_box.h"

namespace kova::platform {

void InformationBox(const std::string& caption, const std::string& text) {
  std::string lines = text;
  for (char& c : lines) {
    if (c == '\r') c = '\n';
  }
  std::printf("%s\n\n%s\n", caption.c_str(), lines.c_str());
  std::fflush(stdout);
}

}  // namespace kova::platform
