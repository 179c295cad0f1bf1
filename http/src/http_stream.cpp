// The stream object and what both of its roads share: the resets of an open and its route, the request
// writer, and what is made of an answer's head and body as the one reader takes them in. The roads
// themselves only move bytes: http_stream_sync.cpp blocking, http_stream_async.cpp in handlers.
#include "qelhttp/http_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "qelhttp/http_parsers.hpp"

namespace qelhttp {

namespace asio = boost::asio;
using boost::system::error_code;
using asio::ip::tcp;

namespace {

const char kDefaultAccept[] = "text/html, application/xhtml+xml, */*";
const char kDefaultAgent[] = "qelhttp/2.9.9";
const char* const kInternalKeys[] = {http_options::path,         http_options::url,
                                     http_options::request_method, http_options::http_version,
                                     http_options::request_body, http_options::status_code};

bool IsInternal(const std::string& name) {
  for (const char* key : kInternalKeys) {
    if (name == key) return true;
  }
  return false;
}

error_code InvalidArgument() { return error_code(EINVAL, boost::system::generic_category()); }

}  // namespace

http_stream::http_stream(asio::io_context& io) : io_(io), resolver_(io) {
  setg(get_area_, get_area_ + 8, get_area_ + 8);
}

http_stream::~http_stream() = default;

void http_stream::set_proxy(const proxy_settings& proxy) { proxy_ = proxy; }

void http_stream::request_options(const request_opts& options) { request_options_ = options; }

void http_stream::drop_buffers() {
  in_.clear();
  in_pos_ = 0;
  request_buffer_.clear();
}

void http_stream::close(error_code& ec) {
  ec.clear();
  if (!socket_ || !socket_->is_open()) return;
  socket_->close(ec);
  drop_buffers();
  protocol_.clear();
  head_.content_type.clear();
  head_.location.clear();
}

size_t http_stream::take(char* out, size_t n) {
  n = std::min(n, buffered());
  memcpy(out, buffered_data(), n);
  consume(n);
  return n;
}

void http_stream::consume(size_t n) {
  in_pos_ += std::min(n, buffered());
  if (in_pos_ == in_.size()) {
    in_.clear();
    in_pos_ = 0;
  } else if (in_pos_ > 65536 && in_pos_ * 2 > in_.size()) {
    in_.erase(0, in_pos_);
    in_pos_ = 0;
  }
}

void http_stream::start_open(const url& u) {
  protocol_ = u.protocol();
  url_ = u;
  head_.content_type.clear();
  head_.status = 0;
  head_.content_length = -1;
  drop_buffers();
  parser_.reset();
  stored_error_.clear();
  read_mark_ = 1;
  setg(get_area_, get_area_ + 8, get_area_ + 8);
}

// The socket's waits end once this many bytes have come (or the peer has closed) rather than at the first
// byte: a fast sender's body is then taken in a few large reads, each after one wake-up of the reader,
// rather than in a wake-up and a read for every few segments, and the sender's kernel is spared a wake-up
// for each of them. Set only when it changes; a socket that refuses it wakes at every byte as before.
void http_stream::set_read_mark(size_t bytes) {
  if (bytes == read_mark_ || !socket_) return;
  error_code refused;
  socket_->set_option(asio::socket_base::receive_low_watermark(static_cast<int>(bytes)), refused);
  // A refused mark leaves the socket's own in place: the waits go by that one.
  if (!refused) read_mark_ = bytes;
}

// Where the connection goes: the URL's host or the HTTP proxy. A port outside 1-65535 is refused rather
// than cut to 16 bits, which would reach another service.
bool http_stream::route(std::string& host, std::string& service, error_code& ec) {
  long port = 0;
  if (proxy_.type == proxy_settings::http || proxy_.type == proxy_settings::http_pw) {
    host = proxy_.host;
    port = proxy_.port;
  } else {
    host = url_.host();
    port = url_.port();
  }
  if (port <= 0 || port > 65535) {
    ec = InvalidArgument();
    return false;
  }
  service = std::to_string(port);
  return true;
}

// Fills the request buffer from the options; false (with invalid argument) when any part would split the
// request: a CR, LF or NUL in a line, or a target with a space or control byte.
bool http_stream::build_request(const request_opts& options, const road_policy& road, error_code& ec) {
  request_opts w = options;
  sent_.clear();
  keep_alive_ = true;
  parser_.reset();
  auto take = [&](const char* key, const std::string& fallback) {
    std::string value = fallback;
    if (w.find(key, value)) w.remove(key);
    return value;
  };
  std::string new_url = take(http_options::url, "");
  if (!new_url.empty()) {
    url_ = url::from_string(new_url);
    sent_.insert(http_options::url, new_url);
  }
  std::string method = take(http_options::request_method, "GET");
  sent_.insert(http_options::request_method, method);
  std::string version = take(http_options::http_version, "HTTP/1.1");
  sent_.insert(http_options::http_version, version);
  std::string host = take(http_options::host, url_.to_string(url::host_and_port));
  sent_.insert(http_options::host, host);
  std::string accept = take(http_options::accept, kDefaultAccept);
  sent_.insert(http_options::accept, accept);
  std::string agent = take(http_options::user_agent, kDefaultAgent);
  sent_.insert(http_options::user_agent, agent);
  std::string cookie = jar_.cookie_header(protocol_ == "https");
  bool via_proxy = (proxy_.type == proxy_settings::http || proxy_.type == proxy_settings::http_pw) &&
                   protocol_ != "https";
  std::string proxy_auth;
  if (via_proxy && proxy_.type == proxy_settings::http_pw) {
    proxy_auth = "Basic " + detail::encode_base64(proxy_.username + ":" + proxy_.password);
  } else if (via_proxy && !url_.user_info().empty()) {
    proxy_auth = "Basic " + detail::encode_base64(url_.user_info());
  }
  if (!proxy_auth.empty()) sent_.insert("Proxy-Authorization", proxy_auth);
  const char* connection_key = via_proxy ? http_options::proxy_connection : http_options::connection;
  std::string connection = take(connection_key, "close");
  sent_.insert(connection_key, connection);
  if (road.proxy_close_ends_keep_alive && via_proxy && connection == "close") keep_alive_ = false;
  std::string body = take(http_options::request_body, "");
  sent_.insert(http_options::request_body, body);
  std::string others;
  bool safe = true;
  for (const auto& option : w.options()) {
    if (IsInternal(option.first)) continue;
    safe = safe && detail::safe_header_text(option.first) && detail::safe_header_text(option.second);
    others += option.first + ": " + option.second + "\r\n";
    sent_.insert(option.first, option.second);
  }
  std::string target = url_.to_string(via_proxy ? url::all_components : url::request_target);
  sent_.insert(http_options::path, target);
  for (const std::string* text : {&host, &accept, &agent, &cookie, &proxy_auth, &connection}) {
    safe = safe && detail::safe_header_text(*text);
  }
  safe = safe && detail::safe_request_target(method) && detail::safe_request_target(version) &&
         detail::safe_request_target(target);
  if (!safe) {
    ec = InvalidArgument();
    return false;
  }
  std::string& out = request_buffer_;
  out = method + " " + target + " " + version + "\r\n";
  out += "Host: " + host + "\r\nAccept: " + accept + "\r\n";
  std::string connection_line = std::string(connection_key) + ": " + connection + "\r\n";
  std::string auth_line = proxy_auth.empty() ? "" : "Proxy-Authorization: " + proxy_auth + "\r\n";
  std::string cookie_line = cookie.empty() ? "" : "Cookie: " + cookie + "\r\n";
  if (road.proxy_auth_before_user_agent) {
    out += auth_line + "User-Agent: " + agent + "\r\n" + cookie_line + connection_line;
  } else {
    out += "User-Agent: " + agent + "\r\n" + cookie_line + connection_line + auth_line;
  }
  out += others + "\r\n" + body;
  return true;
}

// A new answer is due: the reader starts at its status line. Only the request options given to the stream
// say whether this is a POST, whose interim 100 ends the head; the request written says whether it was a
// HEAD, whose answer has no body.
void http_stream::begin_head() {
  std::string method;
  const bool post = request_options_.find(http_options::request_method, method) && method == "POST";
  parser_.start(post, sent_.find(http_options::request_method) == "HEAD");
}

// A connection that carried an answer takes another request only when that answer ended by its framing,
// the connection is kept alive, and nothing has come after the answer: whatever came would be read as the
// answer to a request the server had not yet seen.
bool http_stream::ready_for_request() {
  if (parser_.current() == response_parser::state::idle) return true;
  if (parser_.current() != response_parser::state::complete || !keep_alive_ || buffered() > 0) return false;
  error_code ec;
  return socket_->available(ec) == 0 && !ec;
}

// Nothing more is read from this connection as an answer: what is buffered is dropped.
void http_stream::end_reuse() {
  keep_alive_ = false;
  in_.clear();
  in_pos_ = 0;
}

// Feeds the buffered bytes to the reader until the head is read. True when the head reading is over (ec
// clear, or the reader's error); false when more bytes must be read first.
bool http_stream::head_from_buffer(error_code& ec) {
  ec.clear();
  while (!parser_.head_done()) {
    if (buffered() == 0) return false;
    consume(parser_.put(buffered_data(), buffered(), ec));
    if (ec) {
      end_reuse();
      return true;
    }
  }
  return true;
}

// A socket read that failed: the end of stream is the reader's to judge (the end of a body that runs to
// the close, or an answer cut short); anything else is passed on as it came. in_body: the read was for the
// body, where the road may count the socket's "shut down" as the end of stream too.
error_code http_stream::read_error(const error_code& ec, const road_policy& road, bool in_body) {
  const bool eof = ec == asio::error::eof || (in_body && road.shut_down_is_eof && ec == asio::error::shut_down);
  end_reuse();
  if (!eof) return ec;
  return parser_.put_eof(road.eof_in_headers_is_malformed);
}

// A whole head: the location made absolute, then either a redirect the road's head reading follows (true:
// the socket is closed and the redirect counted), or the answer taken (framing, connection, cookies) with
// its status as the outcome in ec.
bool http_stream::conclude_head(const road_policy& road, error_code& ec) {
  ec.clear();
  head_.location = detail::absolute_location(head_.location, url_);
  const bool redirect = head_.status == 301 || head_.status == 302;
  if (road.head_follows_redirects) {
    if (redirect && take_redirect()) {
      if (road.followed_redirect_takes_head) apply_head();
      return true;
    }
    redirect_count_ = 0;
  }
  apply_head();
  if (head_.status != 200 && head_.status != 206) ec = make_error_code(head_.status);
  return false;
}

// A 301 or 302: the socket is closed and the redirect counted. True when it is to be followed; false,
// with the count back to 0, once the limit has passed.
bool http_stream::take_redirect() {
  error_code ignored;
  socket_->close(ignored);
  if (++redirect_count_ <= redirect_limit_) return true;
  redirect_count_ = 0;
  return false;
}

bool http_stream::redirect_target(const road_policy& road, url& next, error_code& ec) {
  const std::string text = detail::escape_url(head_.location);
  if (road.raise_bad_location) {
    next = url::from_string(text);
    return true;
  }
  error_code parse_error;
  next = url::from_string(text, parse_error);
  if (!parse_error) return true;
  ec = make_error_code(errc::invalid_redirect);
  return false;
}

// The connection and the cookies of an answer, and its body begun as its head frames it. The connection is
// kept alive unless either side said "close", an HTTP/1.0 answer did not ask for keep-alive, or the
// framing leaves nothing to read after this answer.
void http_stream::apply_head() {
  if (detail::has_token(sent_, http_options::connection, "close")) keep_alive_ = false;
  if (detail::has_token(head_.fields, http_options::connection, "close")) keep_alive_ = false;
  const bool http10 = head_.http_major == 1 && head_.http_minor == 0;
  if (http10 && !detail::has_token(head_.fields, http_options::connection, "keep-alive")) keep_alive_ = false;
  if (parser_.framing().close_after) keep_alive_ = false;
  for (const auto& option : head_.fields.options()) {
    if (detail::iequals(option.first, "set-cookie")) jar_.add_set_cookie(option.second);
  }
  parser_.start_body();
}

void http_stream::accept_body(const char* data, std::size_t n) {
  error_code ignored;
  parser_.put(data, n, ignored);
}

// One step of a body read: framing bytes already buffered go to the reader, buffered body bytes to the
// caller; what is left is a socket read, or the end.
http_stream::body_step http_stream::next_body_step(char* data, std::size_t size, const road_policy& road) {
  typedef response_parser::state state;
  for (;;) {
    switch (parser_.current()) {
      case state::failed:
        end_reuse();
        return {body_step::ended, 0, parser_.error(), false};
      case state::complete:
        // Bytes after a whole answer belong to no request of ours.
        if (buffered() > 0) end_reuse();
        return body_end(road);
      case state::chunk_data:
      case state::body: {
        size_t n = static_cast<size_t>(std::min<uint64_t>(size, parser_.body_remaining()));
        if (road.unknown_length_read > 0 && parser_.current() == state::body && head_.content_length < 0) {
          n = std::min(n, road.unknown_length_read);
        }
        if (n > 0 && buffered() == 0) return {body_step::read_direct, n, error_code(), false};
        n = take(data, n);
        accept_body(data, n);
        return {body_step::delivered, n, error_code(), false};
      }
      case state::chunk_size:
      case state::chunk_end:
      case state::trailer: {
        if (buffered() == 0) return {body_step::need_bytes, 0, error_code(), false};
        error_code ec;
        consume(parser_.put(buffered_data(), buffered(), ec));
        if (ec) {
          end_reuse();
          return {body_step::ended, 0, ec, false};
        }
        break;
      }
      default:
        // No head has been read: there is no body to read.
        return {body_step::ended, 0, asio::error::not_connected, false};
    }
  }
}

// A body that has ended by its framing (the last chunk or its length): with the end of stream when the
// connection is not kept alive, else quietly; by the peer's close, with the end of stream.
http_stream::body_step http_stream::body_end(const road_policy& road) const {
  switch (parser_.end()) {
    case response_parser::ending::last_chunk:
      return {body_step::ended, 0, keep_alive_ ? error_code() : error_code(asio::error::eof), false};
    case response_parser::ending::length_reached:
      if (!keep_alive_) return {body_step::ended, 0, asio::error::eof, false};
      return {body_step::ended, 0, error_code(), !road.clear_error_at_body_end};
    default:
      return {body_step::ended, 0, asio::error::eof, false};
  }
}

std::size_t http_stream::read_buffered(char* data, std::size_t size) {
  if (buffered() == 0) return 0;
  const body_step step = next_body_step(data, size, async_road);
  return step.kind == body_step::delivered ? step.size : 0;
}

}  // namespace qelhttp
