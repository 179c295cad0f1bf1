#pragma once
// tinyproxy on a free 127.0.0.1 port as an HTTP proxy, optionally asking for Basic credentials.
#include <string>

#include "test_support.h"

namespace qeltest {

class TinyproxyServer {
 public:
  // With a user name, the proxy answers 407 to requests without these credentials.
  explicit TinyproxyServer(const std::string& user = "", const std::string& password = "");
  bool started() const { return started_; }
  unsigned short port() const { return port_; }
  std::string Log() const;

 private:
  TempDir dir_;
  unsigned short port_ = 0;
  ChildProcess process_;
  bool started_ = false;
};

}  // namespace qeltest
