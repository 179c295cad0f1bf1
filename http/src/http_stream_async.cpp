// The stream's asynchronous road: open, request, head and body, each step completing in a handler on the
// thread that runs the stream's I/O service. The bytes go to the one reader; a completion runs from a
// handler of ours, or is posted when the bytes it needed were already buffered, never inside the call
// that started it.
//
// Socket reads ask for read_limits::socket_block bytes into the response buffer, for body bytes too,
// rather than no more than the caller's read and the body's rest: the download reads 1 KiB blocks, and a
// socket read and a completion per KiB would cost most of its throughput. A server sends nothing after an
// answer before the next request, so whatever such a read brings past the answer ends the connection's
// keep-alive and is never read as an answer.
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
  if (!ready_for_request()) {
    error_code ignored;
    socket_->close(ignored);
    post(handler, asio::error::network_reset);
    return;
  }
  error_code ec;
  try {
    if (!build_request(options, async_road, ec)) {
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
  begin_head();
  read_head(handler);
}

void http_stream::async_fill(step_handler next) {
  // This road reads whatever has come; a mark the synchronous road left would hold its reads back.
  set_read_mark(1);
  socket_->async_read_some(asio::buffer(chunk_), [this, next](const error_code& ec, std::size_t n) {
    in_.append(chunk_.data(), n);
    next(n > 0 ? error_code() : ec);
  });
}

// Runs in a completion (of the request's write or of a read), so the handler may be called from here.
void http_stream::read_head(open_handler handler) {
  error_code ec;
  if (head_from_buffer(ec)) {
    handle_header(ec, handler);
    return;
  }
  async_fill([this, handler](const error_code& failed) {
    if (failed) {
      handler(read_error(failed, async_road, false));
      return;
    }
    read_head(handler);
  });
}

void http_stream::handle_header(const error_code& ec, open_handler handler) {
  if (ec) {
    handler(ec);
    return;
  }
  error_code outcome;
  if (!conclude_head(async_road, outcome)) {
    handler(outcome);
    return;
  }
  url next;
  if (!redirect_target(async_road, next, outcome)) {
    handler(outcome);
    return;
  }
  async_open_url(next, handler);
}

void http_stream::async_read_body(char* data, std::size_t size, read_handler handler) {
  read_body(data, size, handler, true);
}

// One body read. initiating: still inside async_read_body, so an outcome known without reading is posted.
void http_stream::read_body(char* data, std::size_t size, read_handler handler, bool initiating) {
  const body_step step = next_body_step(data, size, async_road);
  if (step.kind == body_step::delivered || step.kind == body_step::ended) {
    if (initiating) {
      post(handler, step.ec, step.size);
    } else {
      handler(step.ec, step.size);
    }
    return;
  }
  async_fill([this, data, size, handler](const error_code& failed) {
    if (failed) {
      handler(read_error(failed, async_road, true), 0);
      return;
    }
    read_body(data, size, handler, false);
  });
}

}  // namespace qelhttp
