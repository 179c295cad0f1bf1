// Plays arbitrary bytes as a SOCKS proxy's answers to the stream's handshake, on both roads and for each
// proxy type, and drives the reply readers directly. Nothing may crash, read out of bounds, throw out of a
// handler, wait for bytes that never come, or call the completion other than exactly once.
//
// Input: byte 0 chooses the road (bit 2) and the proxy type (bits 0-1: 0 and 1 give socks4, 2 socks5, 3
// socks5 with user name and password); the rest is what the proxy sends, all at once, before it closes.
// A handshake that succeeds ends with the request written and "Fake continue".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio.hpp>

#include "qelhttp/http_stream.hpp"
#include "qelhttp/socks.hpp"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

// One loopback listener for the whole run; each connection gets the answer of the current input, then the
// server reads until the client closes, so the client sees an orderly end rather than a reset.
class CProxyServer {
 public:
  CProxyServer() : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
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
      error_code ec;
      acceptor_.accept(socket, ec);
      if (ec) continue;
      std::string answer;
      {
        std::lock_guard<std::mutex> hold(lock_);
        answer = answer_;
      }
      asio::write(socket, asio::buffer(answer), ec);
      socket.shutdown(tcp::socket::shutdown_send, ec);
      char sink[4096];
      while (!ec) socket.read_some(asio::buffer(sink), ec);
    }
  }
  asio::io_context io_;
  tcp::acceptor acceptor_;
  unsigned short port_ = 0;
  std::mutex lock_;
  std::string answer_;
};

void DriveReaders(const std::string& text) {
  std::string padded = text;
  padded.resize(std::max<size_t>(padded.size(), 8), '\0');
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(padded.data());
  error_code ec;
  qelhttp::detail::socks4_reply_error(bytes);
  qelhttp::detail::socks5_method_choice(bytes, bytes[0] & 1, ec);
  qelhttp::detail::socks5_auth_reply_error(bytes);
  size_t rest = qelhttp::detail::socks5_connect_reply_rest(bytes, qelhttp::errc::socks_general_failure, ec);
  if (!ec && rest > qelhttp::detail::socks5_connect_rest_max) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CProxyServer* server = new CProxyServer;
  if (size < 1 || size > 4096) return 0;
  const std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);
  DriveReaders(answer);

  qelhttp::proxy_settings proxy;
  proxy.host = "127.0.0.1";
  proxy.port = server->port();
  proxy.type = (data[0] & 3) == 0 ? 1 : data[0] & 3;
  if (proxy.type == qelhttp::proxy_settings::socks5_pw) {
    proxy.username = "qel";
    proxy.password = "secret";
  }
  const bool async = (data[0] & 4) != 0;
  server->SetAnswer(answer);

  asio::io_context io;
  qelhttp::http_stream stream(io);
  stream.set_proxy(proxy);
  stream.set_sync_timeout(5);
  // The answer's HTTP part is another target's business: once the tunnel stands, the request is written
  // and nothing more is read, so no redirect can send the client anywhere.
  qelhttp::request_opts options;
  options.fake_continue = true;
  stream.request_options(options);
  const qelhttp::url target = qelhttp::url::from_string("http://127.0.0.1:8080/f");
  error_code ec;
  if (!async) {
    stream.open(target, ec);
    return 0;
  }
  int calls = 0;
  stream.async_open(target, [&calls](const error_code&) { ++calls; });
  io.run();
  if (calls != 1) abort();
  return 0;
}
