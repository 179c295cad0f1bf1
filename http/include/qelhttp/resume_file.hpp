#pragma once
// A multi-piece download's progress on disk: a bencoded dictionary with the URL actually used, the file
// size, the piece size and count, and one bit per finished piece. A resume file is input from disk: one
// that is cut, corrupt, inconsistent or from another download is rejected whole.
#include <cstdint>
#include <string>

#include <boost/filesystem/path.hpp>

#include "qelhttp/range_field.hpp"
#include "qelhttp/storage.hpp"

namespace qelhttp {

// Files larger than this are not resume files.
const int64_t max_resume_file_size = 64 * 1024 * 1024;

struct resume_state {
  std::string final_url;
  int64_t file_size = 0;
  int32_t piece_size = 0;
  uint32_t piece_num = 0;
  bitfield pieces;
};

// The lower-case hexadecimal CRC-32 of the URL text followed by ".meta".
std::string meta_file_name(const std::string& url_text);

// The file's content for the current state (finished: the written byte ranges).
std::string encode_resume(const std::string& url_text, int64_t file_size, int32_t piece_size, range_field& finished);
// Writes the state at offset 0 of the file, opening it at path when it is not open; false when nothing was
// written.
bool update_meta(file& meta, const boost::filesystem::path& path, const std::string& url_text, int64_t file_size,
                 int32_t piece_size, range_field& finished);

enum class restore_result { fresh, restored, rejected };
// Reads a previous state. server_size is the size this run's server announced (-1: unknown). A missing or
// empty file is a fresh start; anything unusable is rejected and must be deleted by the caller.
restore_result restore_meta(const boost::filesystem::path& path, int64_t server_size, resume_state& state);
// Both range fields become the file's size with the restored pieces covered.
void apply_resume(const resume_state& state, range_field& requested, range_field& finished);

}  // namespace qelhttp
