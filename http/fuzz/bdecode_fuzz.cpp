// Decodes arbitrary bytes as bencode and as a resume file: nothing may crash, read out of range or recurse
// without limit; a restored state is always consistent, and whatever decodes re-encodes to bytes that
// decode to the same value.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qelhttp/entry.hpp"
#include "qelhttp/resume_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* first = reinterpret_cast<const char*>(data);
  qelhttp::entry e = qelhttp::detail::bdecode(first, first + size);
  if (e.type() != qelhttp::entry::undefined_t) {
    std::string once;
    qelhttp::detail::bencode(once, e);
    qelhttp::entry again = qelhttp::detail::bdecode(once.data(), once.data() + once.size());
    std::string twice;
    qelhttp::detail::bencode(twice, again);
    if (once != twice) abort();
  }
  // In the run's own folder: a fuzz run leaves nothing elsewhere.
  static const std::string path = "bdecode-fuzz-" + std::to_string(getpid()) + ".meta";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  qelhttp::resume_state state;
  if (qelhttp::restore_meta(path, -1, state) == qelhttp::restore_result::restored) {
    if (state.piece_size <= 0 || state.file_size <= 0) abort();
    if (static_cast<int64_t>(state.piece_num) != (state.file_size + state.piece_size - 1) / state.piece_size) abort();
    qelhttp::range_field requested, finished;
    qelhttp::apply_resume(state, requested, finished);
    for (const auto& range : finished.ranges()) {
      if (range.first < 0 || range.second > state.file_size) abort();
    }
  }
  unlink(path.c_str());
  return 0;
}
