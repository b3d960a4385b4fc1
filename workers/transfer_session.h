#pragma once
// What the transfers of one update run share: the connections kept between requests, the proxy
// rules read from the player's settings when the run began, and the speed limit and pause the
// player sets for all of them at once. The run creates it and hands it to every transfer, so
// two runs (or two tests) never draw from each other's bucket or take each other's connections.

#include "net/connection_pool.h"
#include "net/proxy.h"
#include "workers/transfer_control.h"

namespace kova {

class TTransferSession {
 public:
  // With the proxy rules of the system's settings as they are now.
  TTransferSession();
  explicit TTransferSession(platform::TProxySettings proxies) : Proxies(std::move(proxies)) {}
  TTransferSession(const TTransferSession&) = delete;
  TTransferSession& operator=(const TTransferSession&) = delete;

  // The requests to keep in flight when the player's setting allows `connections` side by
  // side. On a server's shared HTTP/2 connection a request costs no connection of its own, so
  // there are as many as the server takes at once (at most THTTPSend::kMaxStreams); one still
  // means one at a time.
  int InFlight(int connections);

  TConnectionPool Pool;
  const TProxyRules Proxies;
  TTransferControl Control;
};

}  // namespace kova
