#pragma once
// microsocks on a free 127.0.0.1 port as a SOCKS5 proxy, optionally requiring a user name and password
// (it then answers a greeting without the user-name method with "no acceptable method").
#include <string>

#include "test_support.h"

namespace qeltest {

class MicrosocksServer {
 public:
  explicit MicrosocksServer(const std::string& user = "", const std::string& password = "");
  bool started() const { return started_; }
  unsigned short port() const { return port_; }

 private:
  TempDir dir_;
  unsigned short port_ = 0;
  ChildProcess process_;
  bool started_ = false;
};

}  // namespace qeltest
