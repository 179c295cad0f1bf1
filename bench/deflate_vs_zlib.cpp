// The zip writer's deflater against zlib's deflate at level 8 on the same files, then the whole packing
// through QELCompress. Every file is compressed by both, each run three times; the fastest run of each
// counts, so that a busy machine penalises neither side. Our output is inflated by zlib and compared.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Deflater.h"
#include "QelCompress/QelCompress.h"
#include "qelplat/codepage.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TRun {
  uint64_t bytes = 0;
  double seconds = 1e30;
};

std::vector<std::string> LoadTree(const std::string& folder, uint64_t* total) {
  std::vector<std::string> paths;
  for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
    if (item.is_regular_file()) paths.push_back(item.path().string());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<std::string> files;
  *total = 0;
  for (const std::string& path : paths) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    files.push_back(content.str());
    *total += files.back().size();
  }
  return files;
}

uint64_t Ours(QelCompress::CDeflater& deflater, const std::string& input, std::vector<uint8_t>& buffer,
              std::string* keep) {
  size_t at = 0;
  uint64_t written = 0;
  deflater.Setup(
      [&](uint8_t* to, size_t size) {
        size_t n = std::min(size, input.size() - at);
        std::memcpy(to, input.data() + at, n);
        at += n;
        return n;
      },
      [&](const uint8_t* data, size_t size) {
        written += size;
        if (keep) keep->append(reinterpret_cast<const char*>(data), size);
        return true;
      },
      buffer.data(), buffer.size(), 8);
  uint16_t flags = 0;
  if (!deflater.DeflateStart(8, &flags)) return 0;
  deflater.DeflateRun();
  return deflater.Message() ? 0 : written;
}

uint64_t Zlib(z_stream& z, const std::string& input, std::vector<uint8_t>& buffer) {
  deflateReset(&z);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  z.avail_in = static_cast<uInt>(input.size());
  uint64_t written = 0;
  int rc = Z_OK;
  do {
    z.next_out = buffer.data();
    z.avail_out = static_cast<uInt>(buffer.size());
    rc = deflate(&z, Z_FINISH);
    written += buffer.size() - z.avail_out;
  } while (rc == Z_OK);
  return written;
}

bool InflatesTo(const std::string& stream, const std::string& expected) {
  z_stream z{};
  inflateInit2(&z, -15);
  std::string out(expected.size() + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&z, Z_FINISH);
  size_t got = out.size() - z.avail_out;
  inflateEnd(&z);
  return rc == Z_STREAM_END && got == expected.size() && out.compare(0, got, expected) == 0;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: deflate_vs_zlib <folder> [<archive to write with QELCompress>]\n");
    return 2;
  }
  uint64_t total = 0;
  std::vector<std::string> files = LoadTree(argv[1], &total);
  std::printf("input: %.1f MiB in %zu files\n", total / 1048576.0, files.size());

  QelCompress::CDeflater deflater;
  std::vector<uint8_t> buffer(16384);
  z_stream z{};
  deflateInit2(&z, 8, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  for (size_t i = 0; i < files.size(); ++i) {
    std::string stream;
    if (Ours(deflater, files[i], buffer, &stream) == 0 || !InflatesTo(stream, files[i])) {
      std::fprintf(stderr, "file %zu does not come back from zlib's inflate\n", i);
      return 1;
    }
  }
  TRun ours, zlib;
  for (int round = 0; round < 3; ++round) {
    Clock::time_point start = Clock::now();
    uint64_t bytes = 0;
    for (const std::string& file : files) bytes += Zlib(z, file, buffer);
    zlib.seconds = std::min(zlib.seconds, Seconds(start));
    zlib.bytes = bytes;
    start = Clock::now();
    bytes = 0;
    for (const std::string& file : files) bytes += Ours(deflater, file, buffer, nullptr);
    ours.seconds = std::min(ours.seconds, Seconds(start));
    ours.bytes = bytes;
  }
  deflateEnd(&z);
  double mib = total / 1048576.0;
  std::printf("%-28s %12llu bytes %8.3f s %7.1f MiB/s\n", "zlib deflate, level 8:",
              static_cast<unsigned long long>(zlib.bytes), zlib.seconds, mib / zlib.seconds);
  std::printf("%-28s %12llu bytes %8.3f s %7.1f MiB/s\n", "QelCompress deflater:",
              static_cast<unsigned long long>(ours.bytes), ours.seconds, mib / ours.seconds);
  double size_ratio = static_cast<double>(ours.bytes) / zlib.bytes;
  double speed_ratio = zlib.seconds / ours.seconds;
  std::printf("size %.4f x zlib (target <= 1.005): %s; speed %.3f x zlib (target >= 1.000): %s\n", size_ratio,
              size_ratio <= 1.005 ? "met" : "MISSED", speed_ratio, speed_ratio >= 1.0 ? "met" : "MISSED");
  // The lines bench/run gathers (the script prints them last).
  std::printf("ROW|Deflate, %.1f MiB mix, compressed size|%llu bytes|zlib level 8: %llu bytes|%.4f|<= 1.005|%s\n", mib,
              static_cast<unsigned long long>(ours.bytes), static_cast<unsigned long long>(zlib.bytes), size_ratio,
              size_ratio <= 1.005 ? "yes" : "no");
  std::printf("ROW|Deflate, %.1f MiB mix, speed|%.1f MiB/s|zlib level 8: %.1f MiB/s|%.3f|>= 1.0|%s\n", mib,
              mib / ours.seconds, mib / zlib.seconds, speed_ratio, speed_ratio >= 1.0 ? "yes" : "no");

  if (argc > 2) {
    wchar_t list[1][260] = {};
    std::wstring folder = qelplat::Utf8ToWide(argv[1]);
    std::wcsncpy(list[0], folder.c_str(), 259);
    unsigned count = 1;
    Clock::time_point start = Clock::now();
    int rc = QELCompress(qelplat::Utf8ToWide(argv[2]).c_str(), list, &count, QEL_PACK_ZIP);
    double seconds = Seconds(start);
    std::error_code ec;
    std::printf("%-28s %12llu bytes %8.3f s %7.1f MiB/s (result %d)\n", "QELCompress, whole archive:",
                static_cast<unsigned long long>(std::filesystem::file_size(argv[2], ec)), seconds, mib / seconds, rc);
    if (rc != 0) return 1;
  }
  return size_ratio <= 1.005 && speed_ratio >= 1.0 ? 0 : 1;
}
