#include "tinyproxy_server.h"

#include <unistd.h>

namespace qeltest {

TinyproxyServer::TinyproxyServer(const std::string& user, const std::string& password) {
  std::string program = FindProgram("tinyproxy");
  if (program.empty()) program = "/usr/bin/tinyproxy";
  port_ = FreePort();
  std::string config = "Port " + std::to_string(port_) +
                       "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\nLogLevel Info\n"
                       "DisableViaHeader Yes\nLogFile \"" + dir_.file("tinyproxy.log") + "\"\nPidFile \"" +
                       dir_.file("tinyproxy.pid") + "\"\n";
  // As root it would otherwise switch to a user that cannot write its log here.
  if (getuid() == 0) config += "User root\nGroup root\n";
  if (!user.empty()) config += "BasicAuth " + user + " " + password + "\n";
  WriteFile(dir_.file("tinyproxy.conf"), config);
  process_ = ChildProcess({program, "-d", "-c", dir_.file("tinyproxy.conf")}, dir_.file("stderr.log"));
  started_ = WaitForPort(port_);
}

std::string TinyproxyServer::Log() const { return ReadFile(dir_.file("tinyproxy.log")); }

}  // namespace qeltest
