// The stream object and its synchronous road: open, request, head and body.
#include "qelhttp/http_stream.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
  content_type_.clear();
  location_.clear();
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

size_t http_stream::find_crlf() const {
  size_t at = in_.find("\r\n", in_pos_);
  return at == std::string::npos ? std::string::npos : at - in_pos_;
}

void http_stream::start_open(const url& u) {
  protocol_ = u.protocol();
  url_ = u;
  content_type_.clear();
  status_ = 0;
  content_length_ = -1;
  body_count_ = 0;
  drop_buffers();
  chunked_ = false;
  first_chunk_ = true;
  end_of_chunks_ = false;
  remaining_chunk_ = 0;
  stored_error_.clear();
  setg(get_area_, get_area_ + 8, get_area_ + 8);
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

// The step's limit, cut to what is left before the deadline; false when the deadline has passed.
bool http_stream::wait_limit(int* milliseconds) const {
  *milliseconds = sync_timeout_ms_;
  if (sync_deadline_ == std::chrono::steady_clock::time_point::max()) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now >= sync_deadline_) return false;
  // Rounded up: a wait never ends before the deadline it stands for.
  int64_t left = std::chrono::ceil<std::chrono::milliseconds>(sync_deadline_ - now).count();
  if (*milliseconds < 0 || left < *milliseconds) *milliseconds = static_cast<int>(std::min<int64_t>(left, INT32_MAX));
  return true;
}

bool http_stream::wait_socket(short events, error_code& ec) {
  pollfd p{socket_->native_handle(), events, 0};
  for (;;) {
    int limit = -1;
    if (!wait_limit(&limit)) {
      ec = asio::error::timed_out;
      return false;
    }
    int n = poll(&p, 1, limit);
    if (n > 0) return true;
    if (n == 0) {
      ec = asio::error::timed_out;
      return false;
    }
    if (errno != EINTR) {
      ec = error_code(errno, boost::system::system_category());
      return false;
    }
  }
}

size_t http_stream::socket_read(char* data, size_t size, error_code& ec) {
  for (;;) {
    size_t n = socket_->read_some(asio::buffer(data, size), ec);
    if (ec != asio::error::would_block) return n;
    if (!wait_socket(POLLIN, ec)) return 0;
  }
}

bool http_stream::sync_write(const std::string& data, error_code& ec) {
  size_t done = 0;
  while (done < data.size()) {
    size_t n = socket_->write_some(asio::buffer(data.data() + done, data.size() - done), ec);
    if (ec == asio::error::would_block) {
      if (!wait_socket(POLLOUT, ec)) return false;
      continue;
    }
    if (ec) return false;
    done += n;
  }
  return true;
}

bool http_stream::sync_fill(error_code& ec) {
  size_t n = socket_read(chunk_.data(), chunk_.size(), ec);
  in_.append(chunk_.data(), n);
  return !ec || n > 0;
}

bool http_stream::sync_read_until_crlf(size_t limit, error_code& ec) {
  while (find_crlf() == std::string::npos) {
    if (buffered() > limit) {
      ec = asio::error::not_found;
      return false;
    }
    if (!sync_fill(ec)) return false;
  }
  ec.clear();
  return true;
}

// Each address in turn, on a fresh socket, with the time limit of the synchronous road.
bool http_stream::sync_connect(const tcp::resolver::results_type& endpoints, error_code& ec) {
  ec = asio::error::host_not_found;
  for (const auto& entry : endpoints) {
    error_code ignored;
    socket_->close(ignored);
    socket_->open(entry.endpoint().protocol(), ec);
    if (ec) continue;
    socket_->non_blocking(true, ec);
    if (ec) continue;
    socket_->connect(entry.endpoint(), ec);
    if (ec == asio::error::in_progress || ec == asio::error::would_block) {
      if (!wait_socket(POLLOUT, ec)) continue;
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(socket_->native_handle(), SOL_SOCKET, SO_ERROR, &error, &length);
      ec = error ? error_code(error, boost::system::system_category()) : error_code();
    }
    if (!ec) return true;
  }
  return false;
}

void http_stream::open(const url& u, error_code& ec) {
  start_open(u);
  ec.clear();
  if (protocol_ != "http") {
    ec = asio::error::operation_not_supported;
    return;
  }
  socket_.reset(new tcp::socket(io_));
  if (proxy_.type >= proxy_settings::socks4 && proxy_.type <= proxy_settings::socks5_pw) {
    socks_proxy_connect(ec);
    if (ec) return;
  } else {
    if (proxy_.type < proxy_settings::none || proxy_.type > proxy_settings::http_pw) {
      ec = asio::error::operation_not_supported;
      return;
    }
    std::string host;
    std::string service;
    if (!route(host, service, ec)) return;
    tcp::resolver::results_type endpoints =
        resolver_.resolve(host, service, tcp::resolver::address_configured, ec);
    if (ec) return;
    if (!sync_connect(endpoints, ec)) return;
  }
  socket_->set_option(tcp::no_delay(true), ec);
  if (ec) return;
  request(request_options_, ec);
  follow_redirect_sync(ec);
}

void http_stream::follow_redirect_sync(error_code& ec) {
  if (ec != make_error_code(errc::moved_permanently) && ec != make_error_code(errc::found)) {
    redirect_count_ = 0;
    return;
  }
  error_code ignored;
  socket_->close(ignored);
  if (++redirect_count_ > redirect_limit_) {
    redirect_count_ = 0;
    return;
  }
  url next = url::from_string(detail::escape_url(location_));
  open(next, ec);
}

// Fills the request buffer from the options; false (with invalid argument) when any part would split the
// request: a CR, LF or NUL in a line, or a target with a space or control byte.
bool http_stream::build_request(const request_opts& options, bool async, error_code& ec) {
  request_opts w = options;
  sent_.clear();
  keep_alive_ = true;
  chunked_ = false;
  first_chunk_ = true;
  end_of_chunks_ = false;
  remaining_chunk_ = 0;
  body_count_ = 0;
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
  if (async && via_proxy && connection == "close") keep_alive_ = false;
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
  if (async) {
    out += auth_line + "User-Agent: " + agent + "\r\n" + cookie_line + connection_line;
  } else {
    out += "User-Agent: " + agent + "\r\n" + cookie_line + connection_line + auth_line;
  }
  out += others + "\r\n" + body;
  return true;
}

void http_stream::request(const request_opts& options, error_code& ec) {
  ec.clear();
  if (!socket_ || !socket_->is_open()) {
    ec = asio::error::network_reset;
    return;
  }
  if (!build_request(options, false, ec)) return;
  if (!sync_write(request_buffer_, ec)) return;
  request_buffer_.clear();
  if (request_options_.fake_continue) {
    ec = make_error_code(errc::fake_continue);
    return;
  }
  receive_header(ec);
}

// Parses the buffered status line. Returns false when the head reading is over (ec says how); true when
// the line was consumed and the status recorded (or an interim 100 was passed and another line is due:
// then status_ is 100).
void http_stream::record_status(error_code& ec) {
  response_.clear();
  response_.insert(http_options::status_code, std::to_string(status_));
  if (status_ != 200 && status_ != 206) ec = make_error_code(status_);
}

bool http_stream::read_status_line_sync(error_code& ec) {
  for (int interim = 0;; ++interim) {
    if (!sync_read_until_crlf(head_limits::status_line, ec)) {
      if (ec == asio::error::not_found) ec = make_error_code(errc::malformed_status_line);
      return false;
    }
    int major = 0, minor = 0;
    status_ = 0;
    size_t length = 0;
    if (!detail::parse_http_status_line(buffered_data(), buffered_data() + buffered(), major, minor, status_,
                                        &length)) {
      ec = make_error_code(errc::malformed_status_line);
      return false;
    }
    if (status_ != 100) {
      consume(length);
      record_status(ec);
      return true;
    }
    // An interim answer: its empty line may come in a later segment.
    while (buffered() < length + 2) {
      if (!sync_fill(ec)) return false;
    }
    if (memcmp(buffered_data() + length, "\r\n", 2) != 0 || interim >= head_limits::interim_responses) {
      ec = make_error_code(errc::malformed_status_line);
      return false;
    }
    consume(length + 2);
    std::string method;
    if (request_options_.find(http_options::request_method, method) && method == "POST") {
      response_.clear();
      response_.insert(http_options::status_code, "100");
      ec = make_error_code(errc::continue_request);
      return false;
    }
  }
}

bool http_stream::read_header_block_sync(std::string& block, error_code& ec) {
  error_code read_error;
  for (;;) {
    if (!sync_read_until_crlf(head_limits::header_line, read_error)) {
      ec = read_error == asio::error::eof || read_error == asio::error::not_found
               ? make_error_code(errc::malformed_response_headers)
               : read_error;
      return false;
    }
    size_t line = find_crlf() + 2;
    block.append(buffered_data(), line);
    consume(line);
    if (block.size() > head_limits::header_block) {
      ec = make_error_code(errc::malformed_response_headers);
      return false;
    }
    if (line == 2) return true;
  }
}

void http_stream::receive_header(error_code& ec) {
  in_.clear();
  in_pos_ = 0;
  if (!read_status_line_sync(ec)) return;
  std::string block;
  if (!read_header_block_sync(block, ec)) return;
  header_text_ = block;
  finish_head(ec);
}

// What the synchronous road does with a whole header block: parse it, make the location absolute, and take
// framing, connection and cookies. ec keeps the status error unless the block itself is bad.
void http_stream::finish_head(error_code& ec) {
  if (!parse_head()) {
    ec = make_error_code(errc::malformed_response_headers);
    return;
  }
  apply_head();
}

bool http_stream::parse_head() {
  if (!detail::parse_http_headers(content_length_, location_, content_type_, header_text_.data(),
                                  header_text_.data() + header_text_.size(), response_)) {
    return false;
  }
  location_ = detail::absolute_location(location_, url_);
  return true;
}

// Framing, connection and cookies of a head that is not left for a redirect.
void http_stream::apply_head() {
  std::string value;
  if (response_.find(http_options::transfer_encoding, value) && value == "chunked") chunked_ = true;
  if (sent_.find(http_options::connection) == "close") keep_alive_ = false;
  if (response_.find(http_options::connection) == "close") keep_alive_ = false;
  for (const auto& option : response_.options()) {
    if (detail::iequals(option.first, "set-cookie")) jar_.add_set_cookie(option.second);
  }
}

size_t http_stream::read_source(char* data, size_t size, error_code& ec) {
  if (buffered() > 0) {
    ec.clear();
    return take(data, size);
  }
  size_t n = socket_read(data, size, ec);
  if (ec == asio::error::shut_down) ec = asio::error::eof;
  return n;
}

std::size_t http_stream::read_chunked(char* data, std::size_t size, error_code& ec) {
  if (remaining_chunk_ == 0) {
    if (!first_chunk_) {
      ec.clear();
      char crlf[2];
      size_t got = 0;
      while (got < 2) {
        size_t n = read_source(crlf + got, 2 - got, ec);
        if (ec) {
          // Cut off before the last chunk: the body is not complete.
          if (!end_of_chunks_ && ec == asio::error::eof) ec = make_error_code(errc::invalid_chunked_encoding);
          return 0;
        }
        got += n;
      }
      if (end_of_chunks_) {
        if (!keep_alive_) ec = asio::error::eof;
        return 0;
      }
      if (crlf[0] != '\r' || crlf[1] != '\n') {
        ec = make_error_code(errc::invalid_chunked_encoding);
        return 0;
      }
    }
    std::string line;
    while (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
      char c;
      size_t n = read_source(&c, 1, ec);
      if (ec || n == 0 || line.size() > head_limits::chunk_size_line) {
        if (!ec || ec == asio::error::eof) ec = make_error_code(errc::invalid_chunked_encoding);
        return 0;
      }
      line.push_back(c);
    }
    uint64_t chunk = 0;
    if (!detail::parse_chunk_size(line.substr(0, line.size() - 2), chunk)) {
      ec = make_error_code(errc::invalid_chunked_encoding);
      return 0;
    }
    remaining_chunk_ = chunk;
    first_chunk_ = false;
  }
  if (remaining_chunk_ > 0) {
    size_t n = read_source(data, static_cast<size_t>(std::min<uint64_t>(size, remaining_chunk_)), ec);
    if (n == 0 && ec == asio::error::eof) ec = make_error_code(errc::invalid_chunked_encoding);
    remaining_chunk_ -= n;
    return n;
  }
  end_of_chunks_ = true;
  if (!keep_alive_) ec = asio::error::eof;
  return 0;
}

std::size_t http_stream::read_some(char* data, std::size_t size, error_code& ec) {
  if (chunked_) return read_chunked(data, size, ec);
  bool bounded = keep_alive_ && content_length_ >= 0;
  if (bounded && body_count_ >= static_cast<uint64_t>(content_length_)) return 0;
  // On a kept-alive connection the next response follows the body: never read into it.
  if (bounded) size = static_cast<size_t>(std::min<uint64_t>(size, content_length_ - body_count_));
  size_t n = read_source(data, size, ec);
  body_count_ += n;
  return n;
}

http_stream::int_type http_stream::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (stored_error_) {
    if (stored_error_ == asio::error::eof) return traits_type::eof();
    throw boost::system::system_error(stored_error_);
  }
  error_code ec;
  size_t n = read_some(get_area_ + 8, 8, ec);
  if (n == 0) return traits_type::eof();
  if (ec) stored_error_ = ec;
  setg(get_area_, get_area_ + 8, get_area_ + 8 + n);
  return traits_type::to_int_type(*gptr());
}

}  // namespace qelhttp
