#include "qelhttp/response_parser.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include <boost/asio/error.hpp>

#include "qelhttp/error.hpp"
#include "qelhttp/http_parsers.hpp"

namespace qelhttp {

using boost::system::error_code;

namespace {

const uint64_t kUpToClose = std::numeric_limits<uint64_t>::max();

error_code Eof() { return boost::asio::error::make_error_code(boost::asio::error::eof); }

}  // namespace

void response_parser::reset() {
  state_ = state::idle;
  ending_ = ending::none;
  error_.clear();
  stop_at_continue_ = false;
  head_request_ = false;
  interim_ = 0;
  in_interim_ = false;
  framing_ = body_framing();
  line_.clear();
  line_too_long_ = false;
  block_.clear();
  crlf_seen_ = 0;
  chunked_ = false;
  remaining_ = 0;
  body_bytes_ = 0;
}

void response_parser::start(bool stop_at_continue, bool head_request) {
  reset();
  stop_at_continue_ = stop_at_continue;
  head_request_ = head_request;
  state_ = state::status_line;
}

void response_parser::fail(const error_code& ec) {
  state_ = state::failed;
  error_ = ec;
  line_.clear();
  block_.clear();
}

void response_parser::finish(ending how) {
  state_ = state::complete;
  ending_ = how;
}

size_t response_parser::put(const char* data, size_t size, error_code& ec) {
  ec.clear();
  switch (state_) {
    case state::failed:
      ec = error_;
      return 0;
    case state::idle:
    case state::complete:
      // Nothing of this answer is left to read: the bytes belong to no answer we asked for.
      ec = boost::system::errc::make_error_code(boost::system::errc::operation_not_permitted);
      return 0;
    case state::head_done:
      return 0;
    case state::chunk_data:
    case state::body:
      return put_body(size);
    default:
      break;
  }
  const size_t used = put_framing(data, size);
  if (state_ == state::failed) ec = error_;
  return used;
}

// Framing bytes until the state leaves the framing: at body data, the end of the head, the end of the
// answer or a failure.
size_t response_parser::put_framing(const char* data, size_t size) {
  size_t used = 0;
  while (used < size) {
    const char* at = data + used;
    const size_t left = size - used;
    switch (state_) {
      case state::status_line:
        used += on_status_line(at, left);
        break;
      case state::header_line:
        used += on_header_line(at, left);
        break;
      case state::chunk_size:
        used += on_chunk_size(at, left);
        break;
      case state::chunk_end:
        used += on_chunk_end(*at);
        break;
      case state::trailer:
        used += on_trailer(at, left);
        break;
      default:
        return used;
    }
  }
  return used;
}

size_t response_parser::put_body(size_t size) {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(size, remaining_));
  body_bytes_ += n;
  if (remaining_ == kUpToClose) return n;
  remaining_ -= n;
  if (remaining_ > 0) return n;
  if (chunked_) {
    state_ = state::chunk_end;
    crlf_seen_ = 0;
  } else {
    finish(ending::length_reached);
  }
  return n;
}

// Adds bytes to line_ up to and including the first LF. complete: the line has ended. A line whose text
// (its line end not counted) passes limit sets line_too_long_, at once when its end has not come yet.
size_t response_parser::collect_line(const char* data, size_t size, size_t limit, bool& complete) {
  complete = false;
  const void* lf = memchr(data, '\n', size);
  const size_t used = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : size;
  line_.append(data, used);
  size_t text = line_.size();
  if (lf) {
    complete = true;
    text -= line_.size() >= 2 && line_[line_.size() - 2] == '\r' ? 2 : 1;
  } else if (line_.back() == '\r') {
    // A CR at the end may begin the line's CR LF.
    --text;
  }
  line_too_long_ = text > limit;
  return used;
}

size_t response_parser::on_status_line(const char* data, size_t size) {
  bool complete = false;
  const size_t used = collect_line(data, size, head_limits::status_line, complete);
  if (line_too_long_) {
    fail(make_error_code(errc::malformed_status_line));
    return used;
  }
  if (!complete) return used;
  int major = 0, minor = 0, status = 0;
  size_t length = 0;
  const bool ok = detail::parse_http_status_line(line_.data(), line_.data() + line_.size(), major, minor, status,
                                                 &length) &&
                  length == line_.size();
  head_.status = status;
  line_.clear();
  if (!ok) {
    fail(make_error_code(errc::malformed_status_line));
    return used;
  }
  if (status >= 100 && status < 200 && status != 101) {
    // An interim answer: its header block follows and is dropped, then the status line again (or, for a
    // POST's 100, the head ends here).
    if (++interim_ > head_limits::interim_responses) {
      fail(make_error_code(errc::malformed_status_line));
      return used;
    }
    in_interim_ = true;
  } else {
    in_interim_ = false;
    head_.http_major = major;
    head_.http_minor = minor;
    // Each answer's length is its own: a later, shorter answer on a kept-alive connection is not reported
    // with an earlier one's.
    head_.content_length = -1;
    head_.fields.clear();
    head_.fields.insert(http_options::status_code, std::to_string(status));
  }
  block_.clear();
  state_ = state::header_line;
  return used;
}

// One line of a block that ends with its empty line (the header block, the trailer), added to block_.
// ended: that empty line has come. A line or a block past its limit fails with `error`.
size_t response_parser::on_block_line(const char* data, size_t size, errc error, bool& ended) {
  ended = false;
  bool complete = false;
  const size_t used = collect_line(data, size, head_limits::header_line, complete);
  if (line_too_long_) {
    fail(make_error_code(error));
    return used;
  }
  if (!complete) return used;
  const bool last = line_ == "\r\n" || line_ == "\n";
  block_ += line_;
  line_.clear();
  if (block_.size() > head_limits::header_block) {
    fail(make_error_code(error));
    return used;
  }
  ended = last;
  return used;
}

size_t response_parser::on_header_line(const char* data, size_t size) {
  bool ended = false;
  const size_t used = on_block_line(data, size, errc::malformed_response_headers, ended);
  if (!ended) return used;
  if (in_interim_) {
    end_interim();
  } else {
    end_head();
  }
  return used;
}

// An interim answer's fields are checked and dropped.
void response_parser::end_interim() {
  int64_t length = -1;
  std::string location, type;
  request_opts fields;
  if (!detail::parse_http_headers(length, location, type, block_.data(), block_.data() + block_.size(), fields)) {
    fail(make_error_code(errc::malformed_response_headers));
    return;
  }
  block_.clear();
  in_interim_ = false;
  if (head_.status == 100 && stop_at_continue_) {
    head_.fields.clear();
    head_.fields.insert(http_options::status_code, "100");
    fail(make_error_code(errc::continue_request));
    return;
  }
  state_ = state::status_line;
}

void response_parser::end_head() {
  if (!detail::parse_http_headers(head_.content_length, head_.location, head_.content_type, block_.data(),
                                  block_.data() + block_.size(), head_.fields) ||
      !frame_answer(head_, head_request_, framing_)) {
    fail(make_error_code(errc::malformed_response_headers));
    return;
  }
  block_.clear();
  state_ = state::head_done;
}

void response_parser::start_body() {
  if (state_ != state::head_done) return;
  chunked_ = framing_.kind == body_framing::chunked;
  if (chunked_) {
    state_ = state::chunk_size;
    return;
  }
  state_ = state::body;
  if (framing_.kind == body_framing::until_close) {
    remaining_ = kUpToClose;
    return;
  }
  remaining_ = framing_.length;
  if (remaining_ == 0) finish(ending::length_reached);
}

size_t response_parser::on_chunk_size(const char* data, size_t size) {
  bool complete = false;
  const size_t used = collect_line(data, size, head_limits::chunk_size_line, complete);
  if (line_too_long_) {
    fail(make_error_code(errc::invalid_chunked_encoding));
    return used;
  }
  if (!complete) return used;
  uint64_t chunk = 0;
  // The size line alone must end with CR LF: a bare LF here is no line end of the chunked coding.
  const bool crlf = line_.size() >= 2 && line_[line_.size() - 2] == '\r';
  const bool ok = crlf && detail::parse_chunk_size(line_.substr(0, line_.size() - 2), chunk);
  line_.clear();
  if (!ok) {
    fail(make_error_code(errc::invalid_chunked_encoding));
    return used;
  }
  if (chunk == 0) {
    state_ = state::trailer;
    block_.clear();
    return used;
  }
  remaining_ = chunk;
  state_ = state::chunk_data;
  return used;
}

size_t response_parser::on_chunk_end(char c) {
  if (c != (crlf_seen_ == 0 ? '\r' : '\n')) {
    fail(make_error_code(errc::invalid_chunked_encoding));
    return 1;
  }
  if (++crlf_seen_ == 2) state_ = state::chunk_size;
  return 1;
}

// Trailer lines are taken and dropped; the empty line ends the answer, so a kept-alive connection's next
// answer starts at its status line.
size_t response_parser::on_trailer(const char* data, size_t size) {
  bool ended = false;
  const size_t used = on_block_line(data, size, errc::invalid_chunked_encoding, ended);
  if (!ended) return used;
  int64_t length = -1;
  std::string location, type;
  request_opts fields;
  if (!detail::parse_http_headers(length, location, type, block_.data(), block_.data() + block_.size(), fields)) {
    fail(make_error_code(errc::invalid_chunked_encoding));
    return used;
  }
  block_.clear();
  finish(ending::last_chunk);
  return used;
}

error_code response_parser::put_eof(bool malformed_in_headers) {
  switch (state_) {
    case state::failed:
      return error_;
    case state::idle:
    case state::complete:
    case state::head_done:
      return Eof();
    case state::status_line:
      fail(Eof());
      return error_;
    case state::header_line:
      fail(malformed_in_headers ? make_error_code(errc::malformed_response_headers) : Eof());
      return error_;
    case state::chunk_size:
    case state::chunk_data:
    case state::chunk_end:
      // Cut off before the last chunk: the body is not whole.
      fail(make_error_code(errc::invalid_chunked_encoding));
      return error_;
    case state::body:
      if (remaining_ != kUpToClose) {
        // Fewer bytes than the head announced: not the end of a whole body.
        fail(make_error_code(errc::truncated_body));
        return error_;
      }
      finish(ending::peer_closed);
      return Eof();
    case state::trailer:
      // Every chunk came; the trailer is only extra lines.
      finish(ending::peer_closed);
      return Eof();
  }
  return Eof();
}

}  // namespace qelhttp
