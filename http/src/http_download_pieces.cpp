// The download's connections: ranges, ranged requests, reading under the rate quota and writing each block
// at its offset.
#include <algorithm>
#include <limits>
#include <thread>

#include "qelhttp/http_download.hpp"
#include "qelplat/lasterror.h"

using boost::system::error_code;

namespace {

const char kKeepAlive[] = "keep-alive";

std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

}  // namespace

bool CHttpDownload::allocate_range(int64_t& begin, int64_t& end) {
  std::lock_guard<std::mutex> hold(range_mutex_);
  int64_t b = 0, e = 0;
  if (!requested_ranges_.out_space(search_origin_, b, e)) return false;
  const int64_t piece = settings_.piece_size > 0 ? settings_.piece_size : default_piece_size(file_size);
  const int64_t most = std::max<int64_t>(1, static_cast<int64_t>(settings_.pieces_per_request) * piece);
  if (e - b > most) e = b + most;
  // One try: a range that cannot be recorded is no range, never a reason to search again for ever.
  if (!requested_ranges_.update(b, e)) return false;
  begin = b;
  end = e - 1;
  return end >= begin;
}

// The caller's options, then (when asked) a Connection entry; no Range entry of the caller's survives, as
// every piece request names its own.
qelhttp::request_opts CHttpDownload::piece_options(bool connection_entry, bool keep_alive) const {
  qelhttp::request_opts options;
  options.fake_continue = settings_.request_options.fake_continue;
  for (const auto& option : settings_.request_options.options()) {
    if (!qelhttp::detail::iequals(option.first, qelhttp::http_options::range)) options.insert(option.first, option.second);
  }
  if (connection_entry) options.insert(qelhttp::http_options::connection, keep_alive ? kKeepAlive : "close");
  return options;
}

void CHttpDownload::set_range(qelhttp::request_opts& options, int64_t begin, int64_t end) {
  options.insert(qelhttp::http_options::range, "bytes=" + std::to_string(begin) + "-" + std::to_string(end));
}

void CHttpDownload::start_piece_open(size_t index, connection conn, const qelhttp::request_opts& options) {
  conn->stream->set_proxy(settings_.proxy);
  conn->stream->request_options(options);
  conn->stream->set_redirect_limit(0);
  conn->stream->async_open(url_, [this, index, conn](const error_code& e) { handle_piece_open(index, conn, e); });
}

// A piece answer must be the asked bytes of this very file: a 206 whose range starts where the connection
// goes on, ends within its range, and whose total is the file's size. Anything else would be written at
// the wrong offset and counted as finished. last: the answer's last byte.
error_code CHttpDownload::check_piece_answer(const connection& conn, int64_t& last) const {
  const error_code wrong = qelhttp::make_error_code(qelhttp::errc::malformed_response_headers);
  if (conn->stream->status() != 206) return wrong;
  const qelhttp::request_opts response = conn->stream->response_options();
  int64_t first = 0, total = 0;
  if (!qelhttp::detail::parse_content_range(response.find(qelhttp::http_options::content_range), first, last, total)) {
    return wrong;
  }
  const int64_t asked = conn->range_begin + conn->range_done;
  if (first != asked || last > conn->range_end || total != file_size) return wrong;
  return error_code();
}

void CHttpDownload::handle_piece_open(size_t index, connection conn, const error_code& ec) {
  if (ec || abort_) {
    // The connection waits for the tick: restarted at its time-out, or ended after 403, 404 or 405.
    conn->last_error = ec;
    if (ec) report(ec);
    return;
  }
  int64_t last = 0;
  const error_code wrong = check_piece_answer(conn, last);
  if (wrong) {
    // Asking again would bring the same answer: the connection ends here, its bytes stay missing.
    conn->last_error = wrong;
    conn->done = true;
    error_code ignored;
    conn->stream->close(ignored);
    report(wrong);
    return;
  }
  conn->answer_last = last;
  conn->last_activity = Now();
  start_read(index, conn, true);
}

void CHttpDownload::handle_request(size_t index, connection conn, const error_code& ec) {
  ++conn->requests;
  handle_piece_open(index, conn, ec);
}

// At most 1024 bytes, and never more than the answer has left of its range, so that no byte past the range
// reaches the file; fewer when this second's quota is nearly spent, which is charged here.
size_t CHttpDownload::read_size(http_stream_object& conn, bool limited) {
  size_t n = static_cast<size_t>(std::max<int64_t>(0, std::min<int64_t>(sizeof conn.buffer, answer_left(conn))));
  if (limited && quota_ >= 0) {
    n = static_cast<size_t>(std::min<int32_t>(quota_, static_cast<int32_t>(n)));
    quota_ -= static_cast<int32_t>(n);
  }
  return n;
}

// Bytes the connection's answer may still bring: up to the last byte its Content-Range names (which lies
// within the range asked). The first connection's answer to "bytes=0-" is the file itself: its reads are
// not trimmed to its range, and what they bring past it are the file's next bytes.
int64_t CHttpDownload::answer_left(const http_stream_object& conn) {
  if (conn.answer_last < 0) return sizeof conn.buffer;
  return conn.answer_last + 1 - (conn.range_begin + conn.range_done);
}

void CHttpDownload::start_read(size_t index, connection conn, bool limited) { read_async(index, conn, read_size(*conn, limited)); }

// A spent quota polls once a millisecond without touching the socket, so nothing is read ahead of the limit.
void CHttpDownload::read_async(size_t index, connection conn, size_t n) {
  if (n == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    boost::asio::post(io_service_, [this, index, conn] { handle_read(index, conn, 0, 0, error_code()); });
    return;
  }
  conn->stream->async_read_some(boost::asio::buffer(conn->buffer, n),
                                [this, index, conn, n](const error_code& e, std::size_t bytes) {
                                  handle_read(index, conn, n, bytes, e);
                                });
}

// Writes the block at its offset; only bytes that reached the storage whole count as finished. Bytes past
// the end of a file of known size belong to no file and are dropped.
bool CHttpDownload::write_block(http_stream_object& conn, size_t bytes, error_code& ec) {
  const int64_t offset = conn.range_begin + conn.range_done;
  int64_t n = static_cast<int64_t>(bytes);
  const int64_t size = file_size;
  if (size >= 0) {
    if (offset >= size) return true;
    n = std::min(n, size - offset);
  }
  // The default storage leaves its error where the file layer put it; a caller's storage may leave none.
  SetLastError(ERROR_SUCCESS);
  if (storage_->write(conn.buffer, offset, static_cast<int>(n)) != n) {
    ec = qelhttp::last_storage_error();
    if (!ec) ec = error_code(EIO, boost::system::generic_category());
    return false;
  }
  if (size < 0) return true;
  if (conn.run_end != offset) conn.run_begin = offset;
  conn.run_end = offset + n;
  finished_ranges_.update(conn.run_begin, conn.run_end);
  return true;
}

void CHttpDownload::handle_read(size_t index, connection conn, size_t requested, size_t bytes, error_code ec) {
  for (;;) {
    if (!take_block(index, conn, requested, bytes, ec)) return;
    conn->last_activity = Now();
    // Bytes the stream holds already are read at once, a block at a time as always, without a round
    // through the I/O service for every block.
    requested = read_size(*conn, true);
    bytes = requested > 0 ? conn->stream->read_buffered(conn->buffer, requested) : 0;
    if (bytes == 0) {
      read_async(index, conn, requested);
      return;
    }
  }
}

// One block read: counted, written at its offset, and the connection's next step decided. True when the
// connection reads on.
bool CHttpDownload::take_block(size_t index, const connection& conn, size_t requested, size_t bytes, error_code ec) {
  const int64_t counted = static_cast<int64_t>(stat_->bytes_this_tick) + static_cast<int64_t>(bytes);
  stat_->bytes_this_tick = static_cast<int32_t>(std::min<int64_t>(counted, std::numeric_limits<int32_t>::max()));
  // A read that asked for bytes and got none without an error: the answer's body has ended.
  if (requested > 0 && bytes == 0 && !ec) ec = boost::asio::error::eof;
  error_code unwritten;
  if (storage_ && bytes > 0 && (!ec || ec == boost::asio::error::eof) && !write_block(*conn, bytes, unwritten)) {
    fail_download(unwritten);
    return false;
  }
  conn->range_done += static_cast<int64_t>(bytes);
  conn->bytes += static_cast<int64_t>(bytes);
  if (ec || abort_) {
    if (!accept_multi_) end_single(false);
    if (ec) report(ec);
    return false;
  }
  if (accept_multi_ && (conn->range_done >= conn->range_end - conn->range_begin + 1 || answer_left(*conn) <= 0)) {
    answer_over(index, conn);
    return false;
  }
  if (!accept_multi_ && file_size >= 0 && conn->bytes >= file_size) {
    end_single(true);
    return false;
  }
  return true;
}

// The answer has brought its range, or all it said it holds of it. The connection carries the next request
// while the server keeps it open; otherwise the next tick closes it and opens it again. The first
// connection's answer to "bytes=0-" runs on past its range, so it always waits for the tick.
void CHttpDownload::answer_over(size_t index, connection conn) {
  if (conn->answer_last < 0 || !keep_alive_ || !conn->stream->keep_alive()) {
    leave_to_tick(*conn);
    return;
  }
  if (conn->stream->answer_complete()) {
    ask_next(index, conn);
    return;
  }
  finish_answer(index, conn);
}

// The range's bytes are in, but its answer goes on: a chunked body's last chunk and trailer are still to
// come. They are read first, since the connection can carry the next request only after them. An answer
// that brings bytes instead runs past the range its head named: the connection is given up, and the tick
// opens it anew for what is left.
void CHttpDownload::finish_answer(size_t index, connection conn) {
  conn->last_activity = Now();
  conn->stream->async_read_some(boost::asio::buffer(conn->buffer),
                                [this, index, conn](const error_code& ec, std::size_t bytes) {
                                  error_code failure = ec;
                                  if (!ec && !abort_) {
                                    if (bytes == 0 && conn->stream->answer_complete()) {
                                      ask_next(index, conn);
                                      return;
                                    }
                                    failure = qelhttp::make_error_code(qelhttp::errc::malformed_response_headers);
                                    error_code ignored;
                                    conn->stream->close(ignored);
                                  }
                                  leave_to_tick(*conn);
                                  if (failure) report(failure);
                                });
}

void CHttpDownload::leave_to_tick(http_stream_object& conn) {
  conn.retry = true;
  if (!early_tick_ && finished_ranges_.is_full()) tick_now();
}

// The next range on the same connection, or the rest of this one when the answer held less than asked.
void CHttpDownload::ask_next(size_t index, connection conn) {
  const int64_t at = conn->range_begin + conn->range_done;
  if (at <= conn->range_end) {
    conn->range_begin = at;
  } else {
    int64_t begin = 0, end = 0;
    if (!allocate_range(begin, end)) {
      leave_to_tick(*conn);
      return;
    }
    conn->range_begin = begin;
    conn->range_end = end;
  }
  conn->range_done = 0;
  ask_range(index, conn);
}

void CHttpDownload::ask_range(size_t index, connection conn) {
  qelhttp::request_opts options = piece_options(true, true);
  set_range(options, conn->range_begin, conn->range_end);
  conn->stream->set_proxy(settings_.proxy);
  conn->stream->request_options(options);
  conn->stream->set_redirect_limit(0);
  conn->last_activity = Now();
  conn->stream->request_impl(options, [this, index, conn](const error_code& e) { handle_request(index, conn, e); });
}
