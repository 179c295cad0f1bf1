#include "microsocks_server.h"

namespace qeltest {

MicrosocksServer::MicrosocksServer(const std::string& user, const std::string& password) {
  std::string program = FindProgram("microsocks");
  if (program.empty()) program = "/usr/bin/microsocks";
  port_ = FreePort();
  std::vector<std::string> argv{program, "-i", "127.0.0.1", "-p", std::to_string(port_)};
  if (!user.empty()) {
    argv.insert(argv.end(), {"-u", user, "-P", password});
  }
  process_ = ChildProcess(argv, dir_.file("microsocks.log"));
  started_ = WaitForPort(port_);
}

}  // namespace qeltest
