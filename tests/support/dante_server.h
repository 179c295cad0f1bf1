#pragma once
// dante (danted) on a free 127.0.0.1 port as a SOCKS4 and SOCKS5 proxy without authentication, with its
// own config and log. It reaches targets over IPv4 and IPv6 loopback; one target port can be blocked by a
// rule, so the proxy refuses connections to it.
#include <string>

#include "test_support.h"

namespace qeltest {

class DanteServer {
 public:
  // blockedPort: when not 0, a rule refuses every connection to that port.
  explicit DanteServer(unsigned short blockedPort = 0);
  ~DanteServer();
  DanteServer(const DanteServer&) = delete;
  DanteServer& operator=(const DanteServer&) = delete;

  bool started() const { return started_; }
  unsigned short port() const { return port_; }
  // One "pass(...)" or "block(...)" line per connection the proxy handled.
  std::string Log() const;

 private:
  TempDir dir_;
  unsigned short port_ = 0;
  ChildProcess process_;
  bool started_ = false;
};

}  // namespace qeltest
