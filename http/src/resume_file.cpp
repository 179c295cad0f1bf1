#include "qelhttp/resume_file.hpp"

#include <boost/crc.hpp>
#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <limits>

#include "qelhttp/entry.hpp"
#include "qelhttp/url.hpp"

namespace qelhttp {

std::string meta_file_name(const std::string& url_text) {
  boost::crc_32_type crc;
  crc.process_bytes(url_text.data(), url_text.size());
  char name[16];
  snprintf(name, sizeof name, "%x", static_cast<unsigned>(crc.checksum()));
  return std::string(name) + ".meta";
}

std::string encode_resume(const std::string& url_text, int64_t file_size, int32_t piece_size, range_field& finished) {
  entry e(entry::dictionary_t);
  e["final_url"].string() = url_text;
  e["file_size"].integer() = file_size;
  e["piece_size"].integer() = piece_size;
  e["piece_num"].integer() = piece_count(file_size, piece_size);
  bitfield bits;
  finished.to_bitfield(bits, piece_size);
  e["bitfield"].string().assign(bits.bytes().begin(), bits.bytes().end());
  std::string out;
  detail::bencode(out, e);
  return out;
}

bool update_meta(file& meta, const boost::filesystem::path& path, const std::string& url_text, int64_t file_size,
                 int32_t piece_size, range_field& finished) {
  boost::system::error_code ec;
  if (!meta.is_open()) meta.open(path, ec);
  if (ec || !meta.is_open() || piece_size <= 0) return false;
  std::string bytes = encode_resume(url_text, file_size, piece_size, finished);
  return meta.writev({{bytes.data(), bytes.size()}}, 0, ec) == static_cast<int64_t>(bytes.size());
}

namespace {

const entry* typed(const entry& dict, const char* key, entry::data_type type) {
  const entry* value = dict.find_key(key);
  return value && value->type() == type ? value : nullptr;
}

// Every field present, of its type and consistent with itself and with this run's server.
bool validate(const entry& e, int64_t server_size, resume_state& state) {
  const entry* size = typed(e, "file_size", entry::int_t);
  const entry* piece = typed(e, "piece_size", entry::int_t);
  const entry* count = typed(e, "piece_num", entry::int_t);
  const entry* bits = typed(e, "bitfield", entry::string_t);
  const entry* url_entry = e.find_key("final_url");
  if (!size || !piece || !count || !bits) return false;
  if (url_entry && url_entry->type() != entry::string_t) return false;
  int64_t file_size = size->integer();
  int64_t piece_size = piece->integer();
  if (file_size <= 0 || (server_size >= 0 && file_size != server_size)) return false;
  if (piece_size < 1 || piece_size > std::numeric_limits<int32_t>::max()) return false;
  int64_t pieces = piece_count(file_size, piece_size);
  if (count->integer() != pieces || pieces > std::numeric_limits<int32_t>::max()) return false;
  const std::string& stored = bits->string();
  if (stored.size() < static_cast<size_t>((pieces + 7) / 8)) return false;
  state.file_size = file_size;
  state.piece_size = static_cast<int32_t>(piece_size);
  state.piece_num = static_cast<uint32_t>(pieces);
  state.pieces.assign(reinterpret_cast<const unsigned char*>(stored.data()), state.piece_num);
  state.final_url = url_entry ? url_entry->string() : std::string();
  if (!state.final_url.empty()) {
    boost::system::error_code ec;
    url::from_string(state.final_url, ec);
    if (ec) return false;
  }
  return true;
}

}  // namespace

namespace {

restore_result read_meta(const boost::filesystem::path& path, int64_t server_size, resume_state& state) {
  boost::system::error_code ec;
  uintmax_t size = boost::filesystem::file_size(path, ec);
  if (ec || size == 0) return ec && boost::filesystem::exists(path) ? restore_result::rejected : restore_result::fresh;
  if (size > static_cast<uintmax_t>(max_resume_file_size)) return restore_result::rejected;
  file meta;
  meta.open(path, ec);
  if (ec) return restore_result::rejected;
  std::string bytes(static_cast<size_t>(size), '\0');
  if (meta.readv({{&bytes[0], bytes.size()}}, 0, ec) != static_cast<int64_t>(size)) return restore_result::rejected;
  entry e = detail::bdecode(bytes.data(), bytes.data() + bytes.size());
  if (e.type() != entry::dictionary_t || !validate(e, server_size, state)) return restore_result::rejected;
  return restore_result::restored;
}

}  // namespace

// The file comes from disk and may be anything: nothing in it can raise out of here.
restore_result restore_meta(const boost::filesystem::path& path, int64_t server_size, resume_state& state) {
  try {
    return read_meta(path, server_size, state);
  } catch (...) {
    return restore_result::rejected;
  }
}

void apply_resume(const resume_state& state, range_field& requested, range_field& finished) {
  for (range_field* field : {&requested, &finished}) {
    field->reset(state.file_size);
    field->bitfield_to_range(state.pieces, state.piece_size);
  }
}

}  // namespace qelhttp
