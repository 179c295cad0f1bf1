// The stream's synchronous road: open, request, head and body, each a blocking call on the caller's
// thread, every wait bounded by the stream's time limits. The bytes go to the one reader.
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "qelhttp/http_parsers.hpp"
#include "qelhttp/http_stream.hpp"

namespace qelhttp {

namespace asio = boost::asio;
using boost::system::error_code;
using asio::ip::tcp;

namespace {

typedef std::chrono::steady_clock steady_clock;

// How long a wait for a read mark lets bytes below the mark lie unread: a sender that pauses in the middle
// of a body has what it sent read after this, not only once the mark is reached.
const int kBelowMarkMs = 10;

// Milliseconds from now until end (-1: no end), rounded up so that a wait never ends before the moment it
// stands for; false once end has passed.
bool WaitFor(steady_clock::time_point end, int* milliseconds) {
  *milliseconds = -1;
  if (end == steady_clock::time_point::max()) return true;
  const auto now = steady_clock::now();
  if (now >= end) return false;
  const int64_t left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
  *milliseconds = static_cast<int>(std::min<int64_t>(left, INT32_MAX));
  return true;
}

}  // namespace

// Where the step's wait ends: its own limit from now, or the stream's deadline if that comes first.
steady_clock::time_point http_stream::step_end() const {
  steady_clock::time_point end = sync_deadline_;
  if (sync_timeout_ms_ >= 0) end = std::min(end, steady_clock::now() + std::chrono::milliseconds(sync_timeout_ms_));
  return end;
}

// A wait for a read mark past 1 is cut into slices, so that bytes below the mark are not left lying. Once a
// slice has passed with nothing at all to read, the sender has stalled: the mark goes back to 1 and the
// wait sleeps until the next byte, rather than waking every slice for as long as the stall lasts. The next
// read sets the mark again, so a fast sender's reads stay large.
bool http_stream::wait_socket(short events, error_code& ec) {
  pollfd p{socket_->native_handle(), events, 0};
  const steady_clock::time_point end = step_end();
  for (;;) {
    int limit = -1;
    if (!WaitFor(end, &limit)) {
      ec = asio::error::timed_out;
      return false;
    }
    const bool marked = (events & POLLIN) && read_mark_ > 1;
    const int slice = marked && (limit < 0 || limit > kBelowMarkMs) ? kBelowMarkMs : limit;
    const int n = poll(&p, 1, slice);
    if (n > 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      ec = error_code(errno, boost::system::system_category());
      return false;
    }
    if (marked) {
      // Fewer bytes than the mark came within the slice: they are read all the same.
      error_code ignored;
      if (socket_->available(ignored) > 0) return true;
      set_read_mark(1);
    }
    // This poll was given all the time the step had left (there was no slice to cut, or the step's end
    // came within one): that time has passed with nothing to read or write.
    if (slice == limit) {
      ec = asio::error::timed_out;
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

// One socket read appended to the response buffer; false only when nothing came. Framing bytes come a few
// at a time: the first of them ends the wait.
bool http_stream::sync_fill(error_code& ec) {
  set_read_mark(1);
  size_t n = socket_read(chunk_.data(), chunk_.size(), ec);
  in_.append(chunk_.data(), n);
  return !ec || n > 0;
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

// This road's redirects are followed here, after the request has taken the redirect's head.
void http_stream::follow_redirect_sync(error_code& ec) {
  if (ec != make_error_code(errc::moved_permanently) && ec != make_error_code(errc::found)) {
    redirect_count_ = 0;
    return;
  }
  if (!take_redirect()) return;
  url next;
  if (!redirect_target(sync_road, next, ec)) return;
  open(next, ec);
}

void http_stream::request(const request_opts& options, error_code& ec) {
  ec.clear();
  if (!socket_ || !socket_->is_open()) {
    ec = asio::error::network_reset;
    return;
  }
  if (!ready_for_request()) {
    error_code ignored;
    socket_->close(ignored);
    ec = asio::error::network_reset;
    return;
  }
  if (!build_request(options, sync_road, ec)) return;
  if (!sync_write(request_buffer_, ec)) return;
  request_buffer_.clear();
  if (request_options_.fake_continue) {
    ec = make_error_code(errc::fake_continue);
    return;
  }
  receive_header(ec);
}

void http_stream::receive_header(error_code& ec) {
  begin_head();
  while (!head_from_buffer(ec)) {
    error_code failed;
    if (!sync_fill(failed)) {
      ec = read_error(failed, sync_road, false);
      return;
    }
  }
  if (ec) return;
  conclude_head(sync_road, ec);
}

std::size_t http_stream::read_some(char* data, std::size_t size, error_code& ec) {
  for (;;) {
    const body_step step = next_body_step(data, size, sync_road);
    switch (step.kind) {
      case body_step::delivered:
        ec.clear();
        return step.size;
      case body_step::ended:
        if (!step.keep_ec) ec = step.ec;
        return 0;
      case body_step::need_bytes: {
        error_code failed;
        if (!sync_fill(failed)) {
          ec = read_error(failed, sync_road, true);
          return 0;
        }
        break;
      }
      case body_step::read_direct: {
        // Straight into the caller's buffer: never past what the framing allows.
        const size_t asked = std::min(step.size, read_limits::direct_read);
        set_read_mark(std::min(asked, read_limits::read_mark));
        const size_t n = socket_read(data, asked, ec);
        if (n > 0) {
          accept_body(data, n);
          return n;
        }
        ec = read_error(ec, sync_road, true);
        return 0;
      }
    }
  }
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
