#include "nginx_server.h"

#include <sys/stat.h>

namespace qeltest {

NginxServer::NginxServer(const std::string& extraConfig) {
  std::string nginx = FindProgram("nginx");
  if (nginx.empty()) nginx = "/usr/sbin/nginx";
  for (const char* sub : {"www", "tmp", "logs"}) ::mkdir(dir_.file(sub).c_str(), 0755);
  port_ = FreePort();
  const std::string tmp = dir_.file("tmp");
  const std::string config =
      "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + dir_.file("nginx.pid") +
      ";\nerror_log " + dir_.file("logs/error.log") + " info;\nevents { worker_connections 256; }\n"
      "http {\n  log_format qel '$request_uri|$http_range|$http_user_agent|$status';\n"
      "  access_log " + dir_.file("logs/access.log") + " qel;\n"
      "  log_format qelrange '$request_uri|$http_range|$http_connection|$status|$connection|"
      "$connection_requests';\n"
      "  access_log " + dir_.file("logs/range.log") + " qelrange;\n"
      "  client_body_temp_path " + tmp + "/body;\n  proxy_temp_path " + tmp + "/proxy;\n"
      "  fastcgi_temp_path " + tmp + "/fcgi;\n  uwsgi_temp_path " + tmp + "/uwsgi;\n"
      "  scgi_temp_path " + tmp + "/scgi;\n  default_type application/octet-stream;\n"
      "  server {\n    listen 127.0.0.1:" + std::to_string(port_) + ";\n    root " + DocRoot() +
      ";\n" + extraConfig + "\n  }\n}\n";
  WriteFile(dir_.file("nginx.conf"), config);
  process_ = ChildProcess({nginx, "-p", dir_.path(), "-c", dir_.file("nginx.conf")},
                          dir_.file("logs/stderr.log"));
  started_ = WaitForPort(port_);
}

std::string NginxServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void NginxServer::AddFile(const std::string& name, const std::string& data) const {
  WriteFile(DocRoot() + "/" + name, data);
}

std::string NginxServer::AccessLog() const { return ReadFile(dir_.file("logs/access.log")); }

std::string NginxServer::RangeLog() const { return ReadFile(dir_.file("logs/range.log")); }

}  // namespace qeltest
