// The asynchronous road through a SOCKS proxy: resolve and connect to the proxy, then one handshake step
// per completed operation, chosen by the handshake state, until the tunnel carries the request. Every
// failure reaches the open's completion exactly once.
#include "qelhttp/http_stream.hpp"
#include "qelhttp/socks.hpp"

namespace qelhttp {

namespace asio = boost::asio;
using boost::system::error_code;
using asio::ip::tcp;

void http_stream::async_socks_proxy_connect(open_handler handler) {
  // Settings that cannot be put on the wire are refused before anything is resolved or connected.
  error_code ec = detail::socks_check_settings(proxy_, url_.host(), url_.port());
  if (ec) {
    post(handler, ec);
    return;
  }
  socks_state_ = detail::proxy_resolving;
  resolver_.async_resolve(proxy_.host, std::to_string(proxy_.port), tcp::resolver::address_configured,
                          [this, handler](const error_code& e, const tcp::resolver::results_type& results) {
                            async_socks_proxy_resolve(e, results, handler);
                          });
}

// Both name queries end here: the proxy's, and for SOCKS4 the target's.
void http_stream::async_socks_proxy_resolve(const error_code& ec, const tcp::resolver::results_type& results,
                                            open_handler handler) {
  if (ec) {
    handler(ec);
    return;
  }
  if (socks_state_ == detail::proxy_resolving) {
    endpoints_.clear();
    for (const auto& entry : results) endpoints_.push_back(entry.endpoint());
    socks_state_ = detail::proxy_connecting;
    socks_connect_from(0, handler);
    return;
  }
  if (results.empty()) {
    handler(asio::error::host_not_found);
    return;
  }
  // SOCKS4 carries only an IPv4 address; the first address decides.
  const asio::ip::address target = results.begin()->endpoint().address();
  if (!target.is_v4()) {
    handler(asio::error::address_family_not_supported);
    return;
  }
  socks4_target_ = tcp::endpoint(target, static_cast<uint16_t>(url_.port()));
  handle_socks_process(handler, error_code());
}

// One attempt over the proxy's addresses from index on; the socket is closed before each address.
void http_stream::socks_connect_from(size_t index, open_handler handler) {
  asio::async_connect(*socket_, endpoints_.begin() + static_cast<std::ptrdiff_t>(index), endpoints_.end(),
                      [this, handler, index](const error_code& ec, std::vector<tcp::endpoint>::iterator) {
                        handle_connect_socks(handler, index, ec);
                      });
}

void http_stream::handle_connect_socks(open_handler handler, size_t index, const error_code& ec) {
  if (ec) {
    // The next attempt starts one address further on and again runs to the end of the list.
    if (index + 1 >= endpoints_.size()) {
      handler(ec);
      return;
    }
    socks_connect_from(index + 1, handler);
    return;
  }
  if (proxy_.type == proxy_settings::socks4) {
    socks_state_ = detail::target_resolving;
    resolver_.async_resolve(url_.host(), std::to_string(static_cast<uint16_t>(url_.port())),
                            tcp::resolver::address_configured,
                            [this, handler](const error_code& e, const tcp::resolver::results_type& results) {
                              async_socks_proxy_resolve(e, results, handler);
                            });
    return;
  }
  socks_state_ = detail::request_sent;
  request_buffer_ = detail::socks5_greeting(proxy_.username);
  socks_write(handler);
}

void http_stream::socks_write(open_handler handler) {
  asio::async_write(*socket_, asio::buffer(request_buffer_),
                    [this, handler](const error_code& ec, std::size_t) { handle_socks_process(handler, ec); });
}

// Exactly n bytes into the emptied response buffer: never more, since what follows belongs to the tunnel.
void http_stream::socks_read(size_t n, open_handler handler) {
  in_.assign(n, '\0');
  in_pos_ = 0;
  asio::async_read(*socket_, asio::buffer(&in_[0], n),
                   [this, handler](const error_code& ec, std::size_t) { handle_socks_process(handler, ec); });
}

void http_stream::handle_socks_process(open_handler handler, const error_code& ec) {
  if (ec) {
    handler(ec);
    return;
  }
  const unsigned char* reply = detail::reply_bytes(in_);
  const bool socks4 = proxy_.type == proxy_settings::socks4;
  error_code failure;
  switch (socks_state_) {
    case detail::request_sent:
      socks_state_ = socks4 ? detail::socks4_reply : detail::method_reply;
      socks_read(socks4 ? detail::socks4_reply_size : detail::socks5_method_reply_size, handler);
      return;
    case detail::target_resolving:
      socks_state_ = detail::request_sent;
      request_buffer_ = detail::socks4_request(socks4_target_.address().to_v4().to_uint(), socks4_target_.port(),
                                               proxy_.username);
      socks_write(handler);
      return;
    case detail::socks4_reply:
      failure = detail::socks4_reply_error(reply);
      if (failure) break;
      drop_buffers();
      async_request(request_options_, handler);
      return;
    case detail::method_reply: {
      detail::socks5_method method = detail::socks5_method_choice(reply, !proxy_.username.empty(), failure);
      if (failure) break;
      if (method == detail::socks5_user_password) {
        request_buffer_ = detail::socks5_auth_request(proxy_.username, proxy_.password);
        socks_state_ = detail::auth_sent;
        socks_write(handler);
        return;
      }
      socks_state_ = detail::connect_request;
      handle_socks_process(handler, error_code());
      return;
    }
    case detail::auth_sent:
      socks_state_ = detail::auth_reply;
      socks_read(detail::socks5_auth_reply_size, handler);
      return;
    case detail::connect_request:
      socks_state_ = detail::connect_sent;
      request_buffer_ = detail::socks5_connect_request(url_.host(), static_cast<uint16_t>(url_.port()));
      socks_write(handler);
      return;
    case detail::connect_sent:
      socks_state_ = detail::connect_reply;
      socks_read(detail::socks5_connect_head_size, handler);
      return;
    case detail::auth_reply:
      failure = detail::socks5_auth_reply_error(reply);
      if (failure) break;
      socks_state_ = detail::connect_request;
      handle_socks_process(handler, error_code());
      return;
    case detail::connect_reply: {
      size_t rest = detail::socks5_connect_reply_rest(reply, errc::socks_general_failure, failure);
      if (failure) break;
      socks_state_ = detail::connect_reply_rest;
      socks_read(rest, handler);
      return;
    }
    case detail::connect_reply_rest:
      drop_buffers();
      async_request(request_options_, handler);
      return;
    default:
      failure = make_error_code(errc::socks_general_failure);
      break;
  }
  handler(failure);
}

}  // namespace qelhttp
