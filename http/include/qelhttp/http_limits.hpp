#pragma once
// Every limit on what a peer may make the HTTP client hold, in one place. A peer that passes one gets the
// parse error of the part it broke; no answer of a real server comes near them.
#include <cstddef>

namespace qelhttp {

struct head_limits {
  // A status line, its CR LF not counted.
  static const size_t status_line = 8 * 1024;
  // One header line, its CR LF not counted; also one trailer line after the last chunk.
  static const size_t header_line = 64 * 1024;
  // The whole header block with every CR LF, the empty line included; also the whole trailer.
  static const size_t header_block = 1024 * 1024;
  // Interim 100 answers before the final status line.
  static const int interim_responses = 16;
  // A chunk-size line, its CR LF not counted. Nothing bounds a chunk extension; a line past this is no
  // size a server means to send.
  static const size_t chunk_size_line = 4 * 1024;
};

struct read_limits {
  // One socket read into the response buffer: what a road asks for when the reader needs framing bytes,
  // and what the asynchronous road asks for body bytes too. The bytes past the body stay buffered for the
  // next answer, so nothing is lost by reading ahead.
  static const size_t socket_block = 16 * 1024;
  // At most this much of a body goes from the socket straight into the caller's buffer in one system call,
  // however large that buffer, so that the kernel never holds the socket long while it copies.
  static constexpr size_t direct_read = 256 * 1024;
  // A direct read waits until this much of what it asks for has come (or the peer closed, or bytes below it
  // have lain a few milliseconds). Over loopback, waking the reader at every segment cost a third of a
  // large fetch's time; a mark of half a direct read keeps the sender going while the reader copies.
  static constexpr size_t read_mark = 128 * 1024;
};

}  // namespace qelhttp
