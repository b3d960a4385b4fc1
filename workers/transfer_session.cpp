#include "workers/transfer_session.h"

namespace kova {

TTransferSession::TTransferSession() : Proxies(platform::ReadProxySettings()) {}

}  // namespace kova
