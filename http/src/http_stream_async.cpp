// The stream's asynchronous road: open, request, head and body, each step completing in a handler on the
// thread that runs the stream's I/O service.
#include <algorithm>
#include <cstring>

#include "qelhttp/http_parsers.hpp"
#include "qelhttp/http_stream.hpp"

namespace qelhttp {

namespace asio = boost::asio;
using boost::system::error_code;
using asio::ip::tcp;

typedef std::function<void(const error_code&)> step_handler;

void http_stream::post(open_handler handler, const error_code& ec) {
  asio::post(io_, [handler, ec] { handler(ec); });
}

void http_stream::post(read_handler handler, const error_code& ec, std::size_t n) {
  asio::post(io_, [handler, ec, n] { handler(ec, n); });
}

void http_stream::async_open_url(const url& u, open_handler handler) {
  start_open(u);
  if (protocol_ != "http") {
    post(handler, asio::error::operation_not_supported);
    return;
  }
  socket_.reset(new tcp::socket(io_));
  if (proxy_.type >= proxy_settings::socks4 && proxy_.type <= proxy_settings::socks5_pw) {
    async_socks_proxy_connect(handler);
    return;
  }
  std::string host;
  std::string service;
  error_code ec;
  proxy_settings saved = proxy_;
  // Any other proxy type connects directly on this road.
  if (proxy_.type != proxy_settings::http && proxy_.type != proxy_settings::http_pw) proxy_.type = proxy_settings::none;
  bool routed = route(host, service, ec);
  // Opening never changes the caller's settings: a later synchronous open still sees the type it was given.
  proxy_.type = saved.type;
  if (!routed) {
    post(handler, ec);
    return;
  }
  resolver_.async_resolve(host, service, tcp::resolver::address_configured,
                          [this, handler](const error_code& e, const tcp::resolver::results_type& results) {
                            handle_resolve(e, results, handler);
                          });
}

void http_stream::handle_resolve(const error_code& ec, const tcp::resolver::results_type& results,
                                 open_handler handler) {
  if (ec) {
    handler(ec);
    return;
  }
  endpoints_.clear();
  for (const auto& entry : results) endpoints_.push_back(entry.endpoint());
  last_connect_error_ = asio::error::host_not_found;
  connect_next(0, handler);
}

// Every attempt on a freshly closed socket: after a failed connect its state is not to be trusted, and the
// next address may be of another family.
void http_stream::connect_next(size_t index, open_handler handler) {
  if (index >= endpoints_.size()) {
    handler(last_connect_error_);
    return;
  }
  error_code ignored;
  socket_->close(ignored);
  socket_->async_connect(endpoints_[index],
                         [this, handler, index](const error_code& ec) { handle_connect(handler, index, ec); });
}

void http_stream::handle_connect(open_handler handler, size_t index, const error_code& ec) {
  if (ec) {
    last_connect_error_ = ec;
    connect_next(index + 1, handler);
    return;
  }
  async_request(request_options_, handler);
}

void http_stream::request_impl(const request_opts& options, open_handler handler) { async_request(options, handler); }

void http_stream::async_request(const request_opts& options, open_handler handler) {
  if (!socket_ || !socket_->is_open()) {
    post(handler, asio::error::network_reset);
    return;
  }
  error_code ec;
  try {
    if (!build_request(options, true, ec)) {
      post(handler, ec);
      return;
    }
  } catch (const boost::system::system_error& e) {
    // A "_url" that does not parse: reported, never thrown out of the I/O service.
    post(handler, e.code());
    return;
  }
  asio::async_write(*socket_, asio::buffer(request_buffer_),
                    [this, handler](const error_code& e, std::size_t) { handle_request(e, handler); });
}

void http_stream::handle_request(const error_code& ec, open_handler handler) {
  if (ec) {
    handler(ec);
    return;
  }
  request_buffer_.clear();
  if (request_options_.fake_continue) {
    handler(make_error_code(errc::fake_continue));
    return;
  }
  interim_count_ = 0;
  async_read_until_crlf(head_limits::status_line, make_error_code(errc::malformed_status_line),
                        [this, handler](const error_code& e) { handle_status(e, handler); });
}

void http_stream::async_fill(step_handler next) {
  socket_->async_read_some(asio::buffer(chunk_), [this, next](const error_code& ec, std::size_t n) {
    in_.append(chunk_.data(), n);
    next(n > 0 ? error_code() : ec);
  });
}

void http_stream::async_read_until_crlf(size_t limit, const error_code& too_long, step_handler next) {
  if (find_crlf() != std::string::npos) {
    next(error_code());
    return;
  }
  if (buffered() > limit) {
    next(too_long);
    return;
  }
  async_fill([this, limit, too_long, next](const error_code& ec) {
    if (ec) {
      next(ec);
      return;
    }
    async_read_until_crlf(limit, too_long, next);
  });
}

void http_stream::async_ensure(size_t n, step_handler next) {
  if (buffered() >= n) {
    next(error_code());
    return;
  }
  async_fill([this, n, next](const error_code& ec) {
    if (ec) {
      next(ec);
      return;
    }
    async_ensure(n, next);
  });
}

void http_stream::handle_status(const error_code& ec, open_handler handler) {
  if (ec) {
    handler(ec);
    return;
  }
  int major = 0, minor = 0;
  status_ = 0;
  size_t length = 0;
  if (!detail::parse_http_status_line(buffered_data(), buffered_data() + buffered(), major, minor, status_, &length)) {
    handler(make_error_code(errc::malformed_status_line));
    return;
  }
  if (status_ == 100) {
    // The interim answer's empty line may come in a later segment.
    async_ensure(length + 2, [this, handler, length](const error_code& e) {
      if (e) {
        handler(e);
        return;
      }
      if (memcmp(buffered_data() + length, "\r\n", 2) != 0 || ++interim_count_ > head_limits::interim_responses) {
        handler(make_error_code(errc::malformed_status_line));
        return;
      }
      consume(length + 2);
      std::string method;
      if (request_options_.find(http_options::request_method, method) && method == "POST") {
        response_.clear();
        response_.insert(http_options::status_code, "100");
        handler(make_error_code(errc::continue_request));
        return;
      }
      async_read_until_crlf(head_limits::status_line, make_error_code(errc::malformed_status_line),
                            [this, handler](const error_code& e2) { handle_status(e2, handler); });
    });
    return;
  }
  consume(length);
  response_.clear();
  response_.insert(http_options::status_code, std::to_string(status_));
  header_text_.clear();
  async_read_until_crlf(head_limits::header_line, make_error_code(errc::malformed_response_headers),
                        [this, handler](const error_code& e) { handle_header(e, handler); });
}

void http_stream::handle_header(const error_code& ec, open_handler handler) {
  if (ec) {
    handler(ec);
    return;
  }
  size_t line = find_crlf() + 2;
  header_text_.append(buffered_data(), line);
  consume(line);
  if (header_text_.size() > head_limits::header_block) {
    handler(make_error_code(errc::malformed_response_headers));
    return;
  }
  if (line != 2) {
    async_read_until_crlf(head_limits::header_line, make_error_code(errc::malformed_response_headers),
                          [this, handler](const error_code& e) { handle_header(e, handler); });
    return;
  }
  if (!parse_head()) {
    handler(make_error_code(errc::malformed_response_headers));
    return;
  }
  // A followed redirect leaves this head at once: its cookies and framing belong to no answer we read.
  if (status_ == 301 || status_ == 302) {
    error_code ignored;
    socket_->close(ignored);
    if (++redirect_count_ <= redirect_limit_) {
      error_code parse_error;
      url next = url::from_string(detail::escape_url(location_), parse_error);
      if (parse_error) {
        handler(make_error_code(errc::invalid_redirect));
        return;
      }
      async_open_url(next, handler);
      return;
    }
  }
  redirect_count_ = 0;
  apply_head();
  handler(status_ == 200 || status_ == 206 ? error_code() : make_error_code(status_));
}

void http_stream::deliver_buffered(char* data, std::size_t size, read_handler handler) {
  size_t n = take(data, size);
  if (chunked_) {
    remaining_chunk_ -= n;
  } else {
    body_count_ += n;
  }
  post(handler, error_code(), n);
}

std::size_t http_stream::read_buffered(char* data, std::size_t size) {
  if (chunked_ || buffered() == 0) return 0;
  const bool bounded = keep_alive_ && content_length_ >= 0;
  if (bounded && body_count_ >= static_cast<uint64_t>(content_length_)) return 0;
  if (bounded) size = static_cast<size_t>(std::min<uint64_t>(size, content_length_ - body_count_));
  size_t n = take(data, size);
  body_count_ += n;
  return n;
}

void http_stream::async_read_body(char* data, std::size_t size, read_handler handler) {
  if (!chunked_) {
    bool bounded = keep_alive_ && content_length_ >= 0;
    if (bounded && body_count_ >= static_cast<uint64_t>(content_length_)) {
      post(handler, error_code(), 0);
      return;
    }
    if (bounded) size = static_cast<size_t>(std::min<uint64_t>(size, content_length_ - body_count_));
    if (content_length_ < 0) size = std::min<size_t>(size, 1024);
  } else if (remaining_chunk_ == 0) {
    async_chunk_size(data, size, handler);
    return;
  } else {
    size = static_cast<size_t>(std::min<uint64_t>(size, remaining_chunk_));
  }
  if (buffered() > 0) {
    deliver_buffered(data, size, handler);
    return;
  }
  async_fill([this, data, size, handler](const error_code& ec) {
    if (ec) {
      // Cut off inside a chunk: the body is not complete.
      bool cut = chunked_ && ec == asio::error::eof;
      handler(cut ? make_error_code(errc::invalid_chunked_encoding) : ec, 0);
      return;
    }
    size_t n = take(data, size);
    if (chunked_) {
      remaining_chunk_ -= n;
    } else {
      body_count_ += n;
    }
    handler(error_code(), n);
  });
}

void http_stream::async_chunk_size(char* data, std::size_t size, read_handler handler) {
  auto end_of_body = [this, handler] { handler(keep_alive_ ? error_code() : asio::error::eof, 0); };
  auto read_size_line = [this, data, size, handler, end_of_body] {
    async_read_until_crlf(
        head_limits::chunk_size_line, make_error_code(errc::invalid_chunked_encoding),
        [this, data, size, handler, end_of_body](const error_code& ec) {
          if (ec) {
            handler(ec == asio::error::eof ? make_error_code(errc::invalid_chunked_encoding) : ec, 0);
            return;
          }
          size_t line = find_crlf();
          std::string text(buffered_data(), line);
          consume(line + 2);
          uint64_t chunk = 0;
          if (!detail::parse_chunk_size(text, chunk)) {
            handler(make_error_code(errc::invalid_chunked_encoding), 0);
            return;
          }
          first_chunk_ = false;
          remaining_chunk_ = chunk;
          if (chunk == 0) {
            end_of_chunks_ = true;
            end_of_body();
            return;
          }
          async_read_body(data, size, handler);
        });
  };
  if (first_chunk_) {
    read_size_line();
    return;
  }
  async_ensure(2, [this, handler, end_of_body, read_size_line](const error_code& ec) {
    if (ec) {
      handler(!end_of_chunks_ && ec == asio::error::eof ? make_error_code(errc::invalid_chunked_encoding) : ec, 0);
      return;
    }
    std::string crlf(buffered_data(), 2);
    consume(2);
    if (end_of_chunks_) {
      end_of_body();
      return;
    }
    if (crlf != "\r\n") {
      handler(make_error_code(errc::invalid_chunked_encoding), 0);
      return;
    }
    read_size_line();
  });
}

}  // namespace qelhttp
