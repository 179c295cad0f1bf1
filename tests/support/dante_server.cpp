#include "dante_server.h"

#include <signal.h>
#include <unistd.h>

namespace qeltest {

DanteServer::DanteServer(unsigned short blockedPort) {
  std::string program = FindProgram("danted");
  if (program.empty()) program = "/usr/sbin/danted";
  port_ = FreePort();
  std::string config = "logoutput: " + dir_.file("danted.log") +
                       "\ninternal: 127.0.0.1 port = " + std::to_string(port_) +
                       "\nexternal: lo\nclientmethod: none\nsocksmethod: none\n";
  // Only root can switch users; as anyone else dante keeps running as that user.
  if (getuid() == 0) config += "user.privileged: root\nuser.unprivileged: nobody\n";
  config += "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
  if (blockedPort != 0) {
    config += "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 port = " + std::to_string(blockedPort) +
              " log: connect error }\n";
  }
  config += "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect error }\n"
            "socks pass { from: 127.0.0.0/8 to: ::/0 log: connect error }\n";
  WriteFile(dir_.file("danted.conf"), config);
  process_ = ChildProcess({program, "-f", dir_.file("danted.conf"), "-p", dir_.file("danted.pid"), "-N", "1"},
                          dir_.file("stderr.log"));
  started_ = WaitForPort(port_);
}

// SIGTERM first: dante's main process then ends its helper processes itself.
DanteServer::~DanteServer() { process_.Stop(SIGTERM); }

std::string DanteServer::Log() const { return ReadFile(dir_.file("danted.log")); }

}  // namespace qeltest
