// Fetches one URL with the engine's HTTP client (synchronous road, as the update check reads) and writes
// the body to a file or discards it. Prints the byte count.
#include <cstdio>
#include <fstream>
#include <vector>

#include "qelhttp/http_stream.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: http_fetch <url> [output file]\n");
    return 2;
  }
  boost::asio::io_context io;
  qelhttp::http_stream stream(io);
  boost::system::error_code ec;
  stream.open(qelhttp::url::from_string(argv[1]), ec);
  if (ec) {
    fprintf(stderr, "open: %s\n", ec.message().c_str());
    return 1;
  }
  std::ofstream out;
  if (argc > 2) out.open(argv[2], std::ios::binary);
  std::vector<char> buffer(256 * 1024);
  unsigned long long total = 0;
  for (;;) {
    size_t n = stream.read_some(buffer.data(), buffer.size(), ec);
    if (n == 0) break;
    if (out) out.write(buffer.data(), static_cast<std::streamsize>(n));
    total += n;
  }
  printf("%llu\n", total);
  return 0;
}
