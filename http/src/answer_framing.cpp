#include "qelhttp/answer_framing.hpp"

#include <vector>

namespace qelhttp {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// The elements of every line of a comma-separated header, trimmed and lower-cased; empty elements are
// dropped, as a list may carry them.
std::vector<std::string> ListElements(const request_opts& fields, const char* name, bool& present) {
  std::vector<std::string> out;
  present = false;
  for (const auto& field : fields.options()) {
    if (!detail::iequals(field.first, name)) continue;
    present = true;
    size_t at = 0;
    for (;;) {
      const size_t comma = field.second.find(',', at);
      const std::string element = field.second.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
      const size_t b = element.find_first_not_of(" \t");
      if (b != std::string::npos) out.push_back(Lower(element.substr(b, element.find_last_not_of(" \t") - b + 1)));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
  }
  return out;
}

// Every Content-Length line says the same length. False when one differs; present: any line at all.
bool OneLength(const request_opts& fields, uint64_t& length, bool& present) {
  present = false;
  for (const auto& field : fields.options()) {
    if (!detail::iequals(field.first, http_options::content_length)) continue;
    uint64_t value = 0;
    if (!detail::parse_content_length(field.second, value)) return false;
    if (present && value != length) return false;
    length = value;
    present = true;
  }
  return true;
}

}  // namespace

bool frame_answer(const response_head& head, bool head_request, body_framing& framing) {
  framing = body_framing();
  uint64_t length = 0;
  bool has_length = false;
  // Checked whatever the status: a head with lengths that disagree is not to be trusted at all.
  if (!OneLength(head.fields, length, has_length)) return false;
  bool has_coding = false;
  const std::vector<std::string> codings = ListElements(head.fields, http_options::transfer_encoding, has_coding);
  // Only chunked is decoded: any other coding would hand the caller bytes it did not ask for.
  if (has_coding && !(codings.size() == 1 && codings[0] == "chunked")) return false;
  const bool http10 = head.http_major == 1 && head.http_minor == 0;
  if (head.status == 101 || head.status == 204 || head.status == 304 || head_request) {
    // No body; after a 101 the connection speaks another protocol.
    framing.kind = body_framing::known_length;
    framing.close_after = head.status == 101;
    return true;
  }
  if (has_coding) {
    framing.kind = body_framing::chunked;
    framing.close_after = has_length || http10;
    return true;
  }
  if (has_length) {
    framing.kind = body_framing::known_length;
    framing.length = length;
    return true;
  }
  framing.kind = body_framing::until_close;
  framing.close_after = true;
  return true;
}

namespace detail {

bool has_token(const request_opts& fields, const char* name, const char* token) {
  bool present = false;
  const std::string wanted = Lower(token);
  for (const std::string& element : ListElements(fields, name, present)) {
    if (element == wanted) return true;
  }
  return false;
}

}  // namespace detail
}  // namespace qelhttp
