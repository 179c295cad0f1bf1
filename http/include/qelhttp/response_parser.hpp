#pragma once
// The one reader of an HTTP/1.x answer, fed by both roads of the stream: the status line (interim 1xx
// answers other than 101 skipped with their header fields), the header block, then the body as the head
// frames it (answer_framing.hpp): a known length, up to the peer's close, or chunked (size line, data,
// CR LF, the last chunk and its trailer lines up to the empty line). Head lines end with LF or CR LF;
// chunk-size lines and the end of a chunk's data with CR LF only.
//
// A push parser. The caller hands it bytes in whatever pieces they arrive; put() takes what belongs to the
// answer and returns how many it took. Framing bytes are taken up to the next state change; body bytes
// are taken only as far as the framing allows, so the caller always knows where the body ends and may read
// body bytes straight into its own buffer. A failure is sticky: every later put() returns it. A complete
// answer takes no more bytes (put() reports operation_not_permitted) until start() begins the next one.
//
// Thread safety: none; the stream that owns it is driven by one thread at a time.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/system/error_code.hpp>

#include "qelhttp/answer_framing.hpp"
#include "qelhttp/error.hpp"
#include "qelhttp/http_limits.hpp"
#include "qelhttp/request_opts.hpp"

namespace qelhttp {

class response_parser {
 public:
  enum class state {
    idle,         // no answer expected: start() first
    status_line,  // collecting a status line up to its line end
    header_line,  // collecting header lines up to the empty line (of an interim or the final answer)
    head_done,    // head read; waiting for start_body
    chunk_size,   // collecting a chunk-size line
    chunk_data,   // data bytes of the current chunk
    chunk_end,    // the CR LF after a chunk's data
    trailer,      // trailer lines after the last chunk, up to the empty line
    body,         // a plain body: so many bytes, or everything up to the close
    complete,     // the answer has ended
    failed        // a grammar or limit error, or the end of stream where the answer cannot end; sticky
  };
  // How a complete answer ended.
  enum class ending { none, last_chunk, length_reached, peer_closed };

  explicit response_parser(response_head& head) : head_(head) {}
  response_parser(const response_parser&) = delete;
  response_parser& operator=(const response_parser&) = delete;

  // A new answer: its status line comes next. stop_at_continue: an interim 100 ends the head with
  // "Continue" as the error, since a POST's body is due. head_request: the answer is to a HEAD and has no
  // body.
  void start(bool stop_at_continue, bool head_request = false);
  // Forgets the answer in progress; nothing is taken until start().
  void reset();

  // Takes bytes of the answer from the front of [data, data + size); returns how many. In the states
  // chunk_data and body every byte taken is a body byte; in every other state a put stops where the
  // state changes, so the caller can tell body from framing. ec: the failure, sticky.
  size_t put(const char* data, size_t size, boost::system::error_code& ec);
  // The peer closed the connection here. Returns what the reader makes of it: the end of a body that runs
  // up to the close, or the error of an answer cut short (in the header block "Malformed response
  // headers" when malformed_in_headers, else the end of stream itself; in a body of known length "Truncated
  // body"; in a chunked body before its last chunk "Invalid chunked encoding").
  boost::system::error_code put_eof(bool malformed_in_headers);

  // After head_done: the body begins, framed as the head said. A length of 0 ends the answer at once.
  void start_body();
  // After head_done: how the head frames the body.
  const body_framing& framing() const { return framing_; }

  state current() const { return state_; }
  bool head_done() const { return state_ >= state::head_done; }
  // The next bytes of the connection are body bytes.
  bool in_body_data() const { return state_ == state::chunk_data || state_ == state::body; }
  // Body bytes the framing allows before the next framing byte (UINT64_MAX up to the close); 0 outside
  // the body data.
  uint64_t body_remaining() const { return in_body_data() ? remaining_ : 0; }
  // Body bytes taken since start().
  uint64_t body_bytes() const { return body_bytes_; }
  ending end() const { return ending_; }
  const boost::system::error_code& error() const { return error_; }

 private:
  size_t put_framing(const char* data, size_t size);
  size_t put_body(size_t size);
  size_t collect_line(const char* data, size_t size, size_t limit, bool& complete);
  size_t on_status_line(const char* data, size_t size);
  size_t on_block_line(const char* data, size_t size, errc error, bool& ended);
  size_t on_header_line(const char* data, size_t size);
  void end_interim();
  void end_head();
  size_t on_chunk_size(const char* data, size_t size);
  size_t on_chunk_end(char c);
  size_t on_trailer(const char* data, size_t size);
  void fail(const boost::system::error_code& ec);
  void finish(ending how);

  response_head& head_;
  state state_ = state::idle;
  ending ending_ = ending::none;
  boost::system::error_code error_;
  bool stop_at_continue_ = false;
  bool head_request_ = false;
  int interim_ = 0;
  // The head being read is an interim answer's.
  bool in_interim_ = false;
  body_framing framing_;
  // The line being collected (status, header, chunk size or trailer), its line end included once complete;
  // never longer than its limit plus what one put brought.
  std::string line_;
  bool line_too_long_ = false;
  // The header block or the trailer so far, every line with its CR LF; at most head_limits::header_block.
  std::string block_;
  // Bytes of the CR LF already seen in chunk_end.
  int crlf_seen_ = 0;
  bool chunked_ = false;
  uint64_t remaining_ = 0;
  uint64_t body_bytes_ = 0;
};

}  // namespace qelhttp
