#pragma once
// nginx on a free 127.0.0.1 port with its own config, docroot, temp and log folders.
#include <string>

#include "test_support.h"

namespace qeltest {

class NginxServer {
 public:
  // extraConfig is placed inside the server block (e.g. "location /r { return 302 /a; }").
  explicit NginxServer(const std::string& extraConfig = "");
  bool started() const { return started_; }
  unsigned short port() const { return port_; }
  std::string Url(const std::string& path) const;
  std::string DocRoot() const { return dir_.file("www"); }
  // Writes a file below the docroot (folders must exist).
  void AddFile(const std::string& name, const std::string& data) const;
  // Access log: one line per request, "$request_uri|$http_range|$http_user_agent|$status".
  std::string AccessLog() const;
  // A second log for ranged downloads, one line per request:
  // "$request_uri|$http_range|$http_connection|$status|$connection|$connection_requests" ($connection is
  // nginx's serial number of the connection, $connection_requests the request's number on it).
  std::string RangeLog() const;

 private:
  TempDir dir_;
  unsigned short port_ = 0;
  ChildProcess process_;
  bool started_ = false;
};

}  // namespace qeltest
