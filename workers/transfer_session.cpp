#include "workers/transfer_session.h"

#include <algorithm>

#include "net/http_send.h"

namespace kova {

TTransferSession::TTransferSession() : Proxies(platform::ReadProxySettings()) {}

int TTransferSession::InFlight(int connections) {
  if (connections <= 1) return connections;
  const std::size_t streams = Pool.StreamRoom(THTTPSend::kMaxStreams);
  return std::max(connections, static_cast<int>(streams));
}

}  // namespace kova
