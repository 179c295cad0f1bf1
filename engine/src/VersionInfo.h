#pragma once
// The update server's answer to a check, as parsed.
#include <string>

struct TVersionInfo {
  std::string product_code;
  std::string product_name;
  std::string product_version;
  std::string update_time;
  std::string update_description;
  std::string setup_url;
  std::string setup_md5;
  std::string update_url;
  std::string update_md5;
  int update_type = 0;
};
