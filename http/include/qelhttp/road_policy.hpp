#pragma once
// What the two roads of a stream do differently with the same bytes. The synchronous road (the update
// check) and the asynchronous road (every download connection) share one reader and one request writer;
// where they part, each difference is one named field here, and each road passes its own value.
#include <cstddef>

namespace qelhttp {

struct road_policy {
  const char* name;
  // The request writer puts Proxy-Authorization right after Accept (true) or after the connection line.
  bool proxy_auth_before_user_agent;
  // "Proxy-Connection: close" sent through an HTTP proxy also ends the keep-alive flag; otherwise only
  // "Connection: close" (sent or answered) does.
  bool proxy_close_ends_keep_alive;
  // The peer closing inside the header block reads as "Malformed response headers" (true) or passes the
  // end of stream on.
  bool eof_in_headers_is_malformed;
  // A 301 or 302 within the limit is followed by the head reading itself (true), or returned as the
  // request's error to the open, which follows it.
  bool head_follows_redirects;
  // The cookies and framing of a redirect that is followed are taken from its head (true) or left with it.
  bool followed_redirect_takes_head;
  // A Location that does not parse is raised as the URL parser's error (true) or returned as "Invalid
  // redirect address".
  bool raise_bad_location;
  // The socket's "shut down" error counts as the end of stream of a body (never inside a head).
  bool shut_down_is_eof;
  // A body complete by its length on a kept-alive connection: the read reports no error (true) or leaves
  // the caller's error code as it was.
  bool clear_error_at_body_end;
  // Most bytes one read hands over from a body of unknown length; 0: as many as asked.
  size_t unknown_length_read;
};

// The update check's road: blocking calls on the caller's thread.
extern const road_policy sync_road;
// The download's road: every step completes in a handler on the I/O service's thread.
extern const road_policy async_road;

}  // namespace qelhttp
