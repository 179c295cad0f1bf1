// Plays arbitrary bytes as a server's answer to the stream's synchronous road: status line, header block,
// interim answers, redirects and chunked or plain bodies. Nothing may crash, read out of bounds, grow
// without limit or hang; the parsers are also driven directly.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio.hpp>

#include "qelhttp/http_parsers.hpp"
#include "qelhttp/http_stream.hpp"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// One loopback listener for the whole run; each connection gets the answer of the current input.
class CAnswerServer {
 public:
  CAnswerServer() : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    port_ = acceptor_.local_endpoint().port();
    std::thread([this] { Serve(); }).detach();
  }
  void SetAnswer(const std::string& answer) {
    std::lock_guard<std::mutex> hold(lock_);
    answer_ = answer;
  }
  unsigned short port() const { return port_; }

 private:
  void Serve() {
    for (;;) {
      tcp::socket socket(io_);
      boost::system::error_code ec;
      acceptor_.accept(socket, ec);
      if (ec) continue;
      std::string seen;
      char buffer[4096];
      while (seen.find("\r\n\r\n") == std::string::npos) {
        size_t n = socket.read_some(asio::buffer(buffer), ec);
        if (ec) break;
        seen.append(buffer, n);
      }
      std::string answer;
      {
        std::lock_guard<std::mutex> hold(lock_);
        answer = answer_;
      }
      asio::write(socket, asio::buffer(answer), ec);
      socket.shutdown(tcp::socket::shutdown_both, ec);
    }
  }
  asio::io_context io_;
  tcp::acceptor acceptor_;
  unsigned short port_ = 0;
  std::mutex lock_;
  std::string answer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CAnswerServer* server = new CAnswerServer;
  if (size < 1 || size > 256 * 1024) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  int major = 0, minor = 0, status = 0;
  qelhttp::detail::parse_http_status_line(text.data(), text.data() + text.size(), major, minor, status);
  int64_t length = -1;
  std::string location, type;
  qelhttp::request_opts headers;
  qelhttp::detail::parse_http_headers(length, location, type, text.data(), text.data() + text.size(), headers);
  uint64_t chunk = 0;
  qelhttp::detail::parse_chunk_size(text.substr(0, 64), chunk);

  server->SetAnswer(text);
  asio::io_context io;
  qelhttp::http_stream stream(io);
  stream.set_sync_timeout(5);
  boost::system::error_code ec;
  const std::string address = "http://127.0.0.1:" + std::to_string(server->port()) + "/f";
  try {
    stream.open(qelhttp::url::from_string(address), ec);
  } catch (const boost::system::system_error&) {
    return 0;  // a redirect to a Location that does not parse
  }
  if (ec) return 0;
  const size_t piece = 1 + data[0] % 64;
  char buffer[64];
  uint64_t total = 0;
  for (int reads = 0; reads < 1000000; ++reads) {
    size_t n = stream.read_some(buffer, piece, ec);
    total += n;
    if (n == 0 || total > text.size()) break;
  }
  return 0;
}
