#pragma once
// What the head of an answer says, and how the body behind it is framed: each answer by its own head alone,
// never by what an earlier answer on the connection said. A head whose framing cannot be trusted (a
// Content-Length that is not a number, lengths that differ, a transfer coding other than chunked alone)
// is refused, since any reading of it could take the next answer's bytes as body or the body's as the next
// answer.
#include <cstdint>
#include <string>

#include "qelhttp/request_opts.hpp"

namespace qelhttp {

// What the head of the last answer said. The reader writes it; the stream reads it and resets what an open
// resets.
struct response_head {
  int status = -1;
  int http_major = 0;
  int http_minor = 0;
  // The size the stream reports: raised by Content-Length and by the total of Content-Range, never lowered
  // by the reader. It does not frame the body (see body_framing).
  int64_t content_length = 0;
  std::string content_type;
  // The last Location header as written.
  std::string location;
  // ("_status_code", status), then every header as (trimmed name, trimmed value) in order of arrival.
  request_opts fields;
};

// How the body after a head ends.
struct body_framing {
  enum kind_type { chunked, known_length, until_close };
  kind_type kind = until_close;
  uint64_t length = 0;  // kind known_length: the body's bytes
  // Nothing after this answer may be read from its connection: the body runs to the close, the head
  // carried both a length and a transfer coding, or an HTTP/1.0 answer came chunked.
  bool close_after = false;
};

// The framing of a final answer's head (status 101 or 200 and above). head_request: the request was a
// HEAD, whose answer has no body whatever its head says. False when the head's framing fields cannot be
// trusted.
bool frame_answer(const response_head& head, bool head_request, body_framing& framing);

namespace detail {

// True when a comma-separated header named `name` (every line of it) holds `token`, without regard to case.
bool has_token(const request_opts& fields, const char* name, const char* token);

}  // namespace detail
}  // namespace qelhttp
