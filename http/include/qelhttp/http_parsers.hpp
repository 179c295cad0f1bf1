#pragma once
// The parsers of a response head and of chunk-size lines, and the small encoders of a request. Each works
// on bytes already read, so the same code serves the synchronous and the asynchronous stream.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelhttp/request_opts.hpp"
#include "qelhttp/url.hpp"

namespace qelhttp {
namespace detail {

// "HTTP/<major>.<minor> <status> <reason>" and the line's end (LF, or CR LF). True when a whole line was
// read; *consumed then holds its length. The reason may hold tabs but no other control byte. The status
// has exactly three digits and each version number at most three, so no number can overflow and no long
// status can pass for a success.
bool parse_http_status_line(const char* begin, const char* end, int& major, int& minor, int& status,
                            size_t* consumed = nullptr);

// A header block ending with its empty line; each line ends with LF or CR LF. Every header is appended to
// response as (trimmed name, trimmed value), a folded value joined with one space; content type, length and
// location are taken from the special names. False on a grammar error (a name that is not a token, a
// control byte other than tab, a fold before the first field) or a Content-Length that is not one.
bool parse_http_headers(int64_t& content_length, std::string& location, std::string& content_type,
                        const char* begin, const char* end, request_opts& response);

// A chunk-size line (without its CR LF): hexadecimal digits, then optional blanks, then nothing or ";" and
// its extensions, which are ignored. False for anything else ("0x5", " 5", "5 junk") or a size past 63 bits.
bool parse_chunk_size(const std::string& line, uint64_t& size);

std::string encode_base64(const std::string& bytes);

// A Location value made absolute against the URL it answered.
std::string absolute_location(const std::string& location, const url& current);

// True when text may stand in a request line or header without splitting it: no CR, LF or NUL.
bool safe_header_text(const std::string& text);
// A request target also has no space, control byte or DEL.
bool safe_request_target(const std::string& text);

}  // namespace detail
}  // namespace qelhttp
