// The Windows programs have no secure layer yet: an https address fails before anything is
// sent, as a connection that cannot be made.

#include "platform/tls.h"

namespace kova::platform {

std::unique_ptr<TTlsClient> TTlsClient::Create(const std::string&) {
  return nullptr;
}

}  // namespace kova::platform
