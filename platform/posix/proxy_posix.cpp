#include "platform/proxy.h"

namespace kova::platform {

TProxySettings ReadProxySettings() {
  return ReadProxyVariables();
}

}  // namespace kova::platform
