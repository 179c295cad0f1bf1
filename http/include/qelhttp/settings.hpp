#pragma once
// How a caller configures one download: rate, connections, pieces, idle time-out, resume file, storage,
// the options sent with every request and the proxy of every connection.
#include <cstdint>
#include <string>

#include "qelhttp/request_opts.hpp"

namespace qelhttp {

class storage_interface;
typedef storage_interface* (*storage_constructor_type)();

struct proxy_settings {
  enum proxy_type { none = 0, socks4 = 1, socks5 = 2, socks5_pw = 3, http = 4, http_pw = 5 };

  std::string host;
  int32_t port = 0;  // read only when type is not none
  std::string username;
  std::string password;
  int32_t type = none;
};

struct settings {
  int32_t download_rate_limit = -1;  // bytes per second for the whole download; -1: no limit
  int32_t connections_limit = 5;     // -1 reads as 5
  int32_t piece_size = -1;           // -1: chosen from the file size
  int32_t time_out = 11;             // seconds without data before a connection is restarted
  int32_t pieces_per_request = 10;
  std::wstring meta_file;            // empty: the URL's CRC-32 in hexadecimal + ".meta"
  bool use_meta_url = true;
  bool single_connection = false;
  storage_constructor_type storage_constructor = nullptr;  // null: the default file storage
  request_opts request_options;
  proxy_settings proxy;
};

}  // namespace qelhttp
