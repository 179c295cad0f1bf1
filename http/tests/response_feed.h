#pragma once
// Feeds one answer to the reader in given pieces, as a stream would, the end of the input as the peer's
// close. Shared by the reader's tests and its fuzz target, which
// both check that where an answer is cut makes no difference.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "qelhttp/response_parser.hpp"

namespace readertest {

typedef qelhttp::response_parser::state state;
typedef qelhttp::response_parser::ending ending;

// What the reader made of one answer.
struct TOutcome {
  state last = state::idle;
  ending end = ending::none;
  boost::system::error_code error;
  int status = 0;
  qelhttp::request_opts::option_list fields;
  int64_t length = 0;
  std::string location;
  std::string body;
  size_t leftover = 0;  // bytes after a complete answer, which belong to no answer
  bool close_after = false;

  bool operator==(const TOutcome& o) const {
    return last == o.last && end == o.end && error == o.error && status == o.status && fields == o.fields &&
           length == o.length && location == o.location && body == o.body && leftover == o.leftover &&
           close_after == o.close_after;
  }
};

inline std::ostream& operator<<(std::ostream& out, const TOutcome& o) {
  return out << "state " << static_cast<int>(o.last) << " ending " << static_cast<int>(o.end) << " error '"
             << o.error.message() << "' status " << o.status << " fields " << o.fields.size() << " length "
             << o.length << " body " << o.body.size() << " bytes, leftover " << o.leftover;
}

// Feeds the answer cut into pieces of the given lengths (their sum is the answer's size). post: an
// interim 100 ends the head. head_request: the answer is to a HEAD. malformed_in_headers: how the close
// inside the header block reads.
inline TOutcome Feed(const std::string& answer, const std::vector<size_t>& pieces, bool post = false,
                     bool head_request = false, bool malformed_in_headers = true) {
  qelhttp::response_head head;
  head.content_length = -1;
  qelhttp::response_parser parser(head);
  parser.start(post, head_request);
  TOutcome out;
  size_t at = 0;
  bool stopped = false;
  for (size_t i = 0; i < pieces.size() && !stopped; ++i) {
    const size_t end = at + pieces[i];
    while (at < end) {
      if (parser.current() == state::head_done) parser.start_body();
      if (parser.current() == state::complete) {
        out.leftover = answer.size() - at;
        stopped = true;
        break;
      }
      const bool body = parser.in_body_data();
      boost::system::error_code ec;
      const size_t n = parser.put(answer.data() + at, end - at, ec);
      if (body) out.body.append(answer, at, n);
      at += n;
      if (ec) {
        stopped = true;
        break;
      }
    }
  }
  if (parser.current() == state::head_done) parser.start_body();
  if (parser.current() == state::complete) out.leftover = answer.size() - at;
  if (!stopped && parser.current() != state::complete) out.error = parser.put_eof(malformed_in_headers);
  if (parser.current() == state::failed) out.error = parser.error();
  out.last = parser.current();
  out.end = parser.end();
  out.status = head.status;
  out.fields = head.fields.options();
  out.length = head.content_length;
  out.location = head.location;
  out.close_after = parser.framing().close_after;
  return out;
}

inline std::vector<size_t> Whole(const std::string& answer) { return {answer.size()}; }

inline std::vector<size_t> ByteByByte(const std::string& answer) { return std::vector<size_t>(answer.size(), 1); }

// Pieces of 1 to `most` bytes; the same seed always cuts the same way.
inline std::vector<size_t> RandomCuts(const std::string& answer, uint32_t seed, size_t most = 97) {
  std::mt19937 random(seed);
  std::vector<size_t> pieces;
  for (size_t left = answer.size(); left > 0;) {
    const size_t piece = std::min<size_t>(left, 1 + random() % most);
    pieces.push_back(piece);
    left -= piece;
  }
  return pieces;
}

}  // namespace readertest
