// The synchronous road through a SOCKS proxy: connect to the proxy, negotiate, and leave the socket as a
// tunnel to the URL's host, ready for the request. Every wait is bounded by the stream's sync time limit.
#include "qelhttp/http_stream.hpp"
#include "qelhttp/socks.hpp"

namespace qelhttp {

namespace asio = boost::asio;
using boost::system::error_code;
using asio::ip::tcp;

// Exactly n bytes into the response buffer: never more, since what follows belongs to the tunnel.
bool http_stream::sync_read_exactly(size_t n, error_code& ec) {
  in_.assign(n, '\0');
  in_pos_ = 0;
  ec.clear();
  for (size_t got = 0; got < n;) {
    size_t r = socket_read(&in_[got], n - got, ec);
    if (ec) return false;
    got += r;
  }
  return true;
}

void http_stream::socks_proxy_connect(error_code& ec) {
  // Whatever the outcome, no handshake byte may be taken for the response or sent as the request.
  struct TBufferReset {
    http_stream& stream;
    ~TBufferReset() { stream.drop_buffers(); }
  } reset{*this};

  ec = detail::socks_check_settings(proxy_, url_.host(), url_.port());
  if (ec) return;
  tcp::resolver::results_type endpoints =
      resolver_.resolve(proxy_.host, std::to_string(proxy_.port), tcp::resolver::address_configured, ec);
  if (ec) return;
  if (!sync_connect(endpoints, ec)) return;
  if (proxy_.type == proxy_settings::socks4) {
    socks_proxy_handshake(ec);
    return;
  }
  request_buffer_ = detail::socks5_greeting(proxy_.username);
  if (!sync_write(request_buffer_, ec)) return;
  if (!sync_read_exactly(detail::socks5_method_reply_size, ec)) return;
  detail::socks5_method method = detail::socks5_method_choice(detail::reply_bytes(in_), !proxy_.username.empty(), ec);
  if (ec) return;
  if (method == detail::socks5_user_password) {
    request_buffer_ = detail::socks5_auth_request(proxy_.username, proxy_.password);
    if (!sync_write(request_buffer_, ec)) return;
    if (!sync_read_exactly(detail::socks5_auth_reply_size, ec)) return;
    ec = detail::socks5_auth_reply_error(detail::reply_bytes(in_));
    if (ec) return;
  }
  socks_proxy_handshake(ec);
}

void http_stream::socks_proxy_handshake(error_code& ec) {
  request_buffer_.clear();
  const uint16_t port = static_cast<uint16_t>(url_.port());
  const bool socks4 = proxy_.type == proxy_settings::socks4;
  if (socks4) {
    tcp::resolver::results_type targets =
        resolver_.resolve(url_.host(), std::to_string(port), tcp::resolver::address_configured, ec);
    if (ec) return;
    if (targets.empty()) {
      ec = asio::error::host_not_found;
      return;
    }
    // SOCKS4 carries only an IPv4 address; the first address decides.
    const asio::ip::address target = targets.begin()->endpoint().address();
    if (!target.is_v4()) {
      ec = asio::error::address_family_not_supported;
      return;
    }
    request_buffer_ = detail::socks4_request(target.to_v4().to_uint(), port, proxy_.username);
  } else {
    request_buffer_ = detail::socks5_connect_request(url_.host(), port);
  }
  if (!sync_write(request_buffer_, ec)) return;
  if (socks4) {
    if (!sync_read_exactly(detail::socks4_reply_size, ec)) return;
    ec = detail::socks4_reply_error(detail::reply_bytes(in_));
    return;
  }
  if (!sync_read_exactly(detail::socks5_connect_head_size, ec)) return;
  size_t rest = detail::socks5_connect_reply_rest(detail::reply_bytes(in_), errc::socks_unsupported_version, ec);
  if (ec) return;
  sync_read_exactly(rest, ec);
}

}  // namespace qelhttp
