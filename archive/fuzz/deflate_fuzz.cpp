// Deflates arbitrary bytes and inflates them back with zlib: the stream must be valid and give back the
// input exactly, at every level and with reads of every size. The first byte picks the level (1 to 8) and
// the read size; the rest is the input. One compressor serves every run, as one serves every entry of an
// archive, so state left over from an earlier input would show.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Deflater.h"

namespace {

bool InflatesTo(const std::string& stream, const uint8_t* expected, size_t size) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  std::vector<uint8_t> out(size + 1);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  size_t got = out.size() - z.avail_out;
  bool whole = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return whole && got == size && (size == 0 || std::memcmp(out.data(), expected, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QelCompress::CDeflater deflater;
  if (size == 0) return 0;
  int level = 1 + data[0] % 8;
  size_t chunk = data[0] < 128 ? 0 : 1 + (data[0] >> 3) * 97;  // 0: as much as asked for
  const uint8_t* input = data + 1;
  size_t length = size - 1;
  size_t at = 0;
  std::string stream;
  std::vector<uint8_t> buffer(16384);
  deflater.Setup(
      [&](uint8_t* to, size_t room) {
        size_t n = std::min(room, length - at);
        if (chunk) n = std::min(n, chunk);
        std::memcpy(to, input + at, n);
        at += n;
        return n;
      },
      [&](const uint8_t* out, size_t n) {
        stream.append(reinterpret_cast<const char*>(out), n);
        return true;
      },
      buffer.data(), buffer.size(), level);
  uint16_t flags = 0;
  if (!deflater.DeflateStart(level, &flags)) abort();
  uint64_t count = deflater.DeflateRun();
  if (deflater.Message() || count != stream.size() || at != length) abort();
  if (!InflatesTo(stream, input, length)) abort();
  return 0;
}
