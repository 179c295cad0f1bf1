// Plays arbitrary bytes as a server's answer: first to the one reader directly, whole and cut where the
// first input byte says, for a GET, a HEAD and a POST, where every
// cut must read as the whole answer does; then over a socket to both roads of the stream (status line,
// header block, interim answers, redirects and chunked or plain bodies). Nothing may crash, read out of
// bounds, grow without limit or hang.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio.hpp>

#include "../tests/response_feed.h"
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

// Where an answer is cut never changes what the reader makes of it.
void CheckCuts(const std::string& text, uint8_t seed) {
  for (bool head_request : {false, true}) {
    for (bool post : {false, true}) {
      const readertest::TOutcome whole = readertest::Feed(text, readertest::Whole(text), post, head_request);
      const std::vector<size_t> cuts = readertest::RandomCuts(text, seed, 1 + seed % 32);
      if (!(readertest::Feed(text, cuts, post, head_request) == whole)) __builtin_trap();
    }
  }
}

// The asynchronous road, reading in pieces of the given size; a bounded number of reads. One I/O service
// for the whole run: its resolver's thread is started once, not for every input.
void ReadAsynchronously(const std::string& address, size_t piece) {
  static asio::io_context* shared = new asio::io_context;
  asio::io_context& io = *shared;
  io.restart();
  qelhttp::http_stream stream(io);
  char buffer[64];
  int reads = 0;
  std::function<void(const boost::system::error_code&, std::size_t)> on_read =
      [&](const boost::system::error_code& ec, std::size_t n) {
        if (ec || n == 0 || ++reads > 1000000) return;
        stream.async_read_some(asio::buffer(buffer, piece), on_read);
      };
  stream.async_open(qelhttp::url::from_string(address), [&](const boost::system::error_code& ec) {
    if (!ec) stream.async_read_some(asio::buffer(buffer, piece), on_read);
  });
  io.run();
}

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
  CheckCuts(text, data[0]);

  server->SetAnswer(text);
  const std::string address = "http://127.0.0.1:" + std::to_string(server->port()) + "/f";
  const size_t piece = 1 + data[0] % 64;
  ReadAsynchronously(address, piece);
  asio::io_context io;
  qelhttp::http_stream stream(io);
  stream.set_sync_timeout(5);
  boost::system::error_code ec;
  try {
    stream.open(qelhttp::url::from_string(address), ec);
  } catch (const boost::system::system_error&) {
    return 0;  // a redirect to a Location that does not parse
  }
  if (ec) return 0;
  char buffer[64];
  uint64_t total = 0;
  for (int reads = 0; reads < 1000000; ++reads) {
    size_t n = stream.read_some(buffer, piece, ec);
    total += n;
    if (n == 0 || total > text.size()) break;
  }
  return 0;
}
