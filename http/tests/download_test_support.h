#pragma once
// What the download tests share: file contents, a run of one download to its end with every callback
// recorded, and nginx's range log read back.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "qelhttp/http_download.hpp"
#include "test_support.h"

namespace dltest {

// Bytes that look random and are the same for the same size and seed.
inline std::string Content(size_t size, uint32_t seed = 1) {
  std::string data(size, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
  for (size_t i = 0; i < size; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    for (size_t k = 0; k < 8 && i + k < size; ++k) data[i + k] = static_cast<char>(x >> (8 * k));
  }
  return data;
}

// Every callback of one download, as it came.
struct TRecorder {
  std::mutex mutex;
  std::vector<int> errors;
  std::vector<std::string> messages;
  std::vector<CHttpDownload::progress_info> progress;
  std::atomic<int> completes{0};
  CHttpDownload* download = nullptr;
  int stop_on_error = -1;  // an error of this value (0: any) makes the error callback stop the download

  std::vector<int> Errors() {
    std::lock_guard<std::mutex> hold(mutex);
    return errors;
  }
  size_t Count(int code) {
    std::lock_guard<std::mutex> hold(mutex);
    size_t n = 0;
    for (int e : errors) n += e == code;
    return n;
  }
  size_t Ticks() {
    std::lock_guard<std::mutex> hold(mutex);
    return progress.size();
  }
};

inline void RecordError(int code, const char* message, void* user) {
  auto* r = static_cast<TRecorder*>(user);
  bool stop = false;
  {
    std::lock_guard<std::mutex> hold(r->mutex);
    r->errors.push_back(code);
    r->messages.push_back(message);
    stop = r->stop_on_error == 0 || r->stop_on_error == code;
  }
  if (stop) r->download->stop();
}

inline void RecordProgress(CHttpDownload::progress_info* info, void* user) {
  auto* r = static_cast<TRecorder*>(user);
  std::lock_guard<std::mutex> hold(r->mutex);
  r->progress.push_back(*info);
}

inline void RecordComplete(void* user) { ++static_cast<TRecorder*>(user)->completes; }

struct TOutcome {
  bool complete = false;
  bool finished = false;
  int64_t bytes = 0;
  int64_t size = -1;
};

// One download from start to the end of the I/O service's run, on this thread.
inline TOutcome Download(const std::string& url, const std::string& target, const qelhttp::settings& settings,
                         TRecorder* recorder = nullptr) {
  TRecorder local;
  TRecorder* r = recorder ? recorder : &local;
  boost::asio::io_context io;
  CHttpDownload d(io);
  r->download = &d;
  d.error_callback = RecordError;
  d.progress_callback = RecordProgress;
  d.complete_callback = RecordComplete;
  d.callback_user = r;
  d.start(target, settings, url);
  io.run();
  TOutcome out;
  out.complete = d.wait_for_complete();
  out.finished = d.finished();
  out.bytes = d.bytes_download();
  out.size = d.file_size;
  return out;
}

inline qelhttp::settings Single() {
  qelhttp::settings s;
  s.single_connection = true;
  return s;
}

// Several connections, a resume file in the test's folder, and a short idle time so restarts come soon.
inline qelhttp::settings Multi(const qeltest::TempDir& dir, int connections = 5, int time_out = 1) {
  qelhttp::settings s;
  s.connections_limit = connections;
  s.time_out = time_out;
  s.meta_file = boost::filesystem::path(dir.file("download.meta")).wstring();
  return s;
}

// One line of NginxServer::RangeLog.
struct TLogLine {
  std::string uri;
  std::string range;
  std::string connection;
  int status = 0;
  long serial = 0;    // nginx's number of the connection
  long requests = 0;  // the request's number on that connection
  int64_t first = -1;
  int64_t last = -1;  // -1: open-ended
};

inline std::vector<TLogLine> ParseRangeLog(const std::string& log) {
  std::vector<TLogLine> lines;
  std::istringstream in(log);
  std::string text;
  while (std::getline(in, text)) {
    std::vector<std::string> f;
    std::istringstream fields(text);
    std::string part;
    while (std::getline(fields, part, '|')) f.push_back(part);
    if (f.size() < 6) continue;
    TLogLine line;
    line.uri = f[0];
    line.range = f[1];
    line.connection = f[2];
    line.status = std::stoi(f[3]);
    line.serial = std::stol(f[4]);
    line.requests = std::stol(f[5]);
    long long a = -1, b = -1;
    if (sscanf(line.range.c_str(), "bytes=%lld-%lld", &a, &b) >= 1) {
      line.first = a;
      line.last = b;
    }
    lines.push_back(line);
  }
  return lines;
}

// The open-ended "bytes=0-" requests of a log apart from the ranged ones (nginx writes a line when it has
// sent its answer, so lines do not come in the order the requests were made).
inline void SplitLines(const std::vector<TLogLine>& lines, std::vector<TLogLine>& open_ended,
                       std::vector<TLogLine>& ranged) {
  for (const TLogLine& line : lines) (line.last < 0 ? open_ended : ranged).push_back(line);
}

// The ranged requests are disjoint and, after the first connection's share [0, x), cover [x, size).
inline bool RangesCover(const std::vector<TLogLine>& lines, int64_t size, std::string* why = nullptr) {
  std::vector<TLogLine> open_ended, ranged;
  SplitLines(lines, open_ended, ranged);
  std::string local;
  std::string& out = why ? *why : local;
  if (open_ended.size() > 1) out = "more than one open-ended request";
  std::map<int64_t, int64_t> ranges;
  for (const TLogLine& line : ranged) {
    if (line.first < 0 || line.last < line.first) out = "bad range " + line.range;
    if (!ranges.emplace(line.first, line.last + 1).second) out = "asked twice: " + line.range;
  }
  int64_t at = ranges.empty() ? size : ranges.begin()->first;
  if (at <= 0 && size > 0) out = "the first connection's share is not first";
  for (const auto& range : ranges) {
    if (range.first != at) out = "overlap or gap at " + std::to_string(at);
    at = range.second;
  }
  if (at != size) out = "ends at " + std::to_string(at);
  return out.empty();
}

// The URI's requests in a range log, once the ranged ones cover [x, size) after the first connection's
// share (nginx writes a line when it has sent the answer, so they come in any order): the ranged ones, and
// the open-ended ones in open_ended.
template <class Server>
std::vector<TLogLine> CoveringRanges(const Server& server, const std::string& uri, int64_t size,
                                     std::vector<TLogLine>* open_ended = nullptr) {
  std::vector<TLogLine> lines;
  qeltest::WaitUntil(
      [&] {
        lines.clear();
        for (const TLogLine& line : ParseRangeLog(server.RangeLog())) {
          if (line.uri == uri) lines.push_back(line);
        }
        return RangesCover(lines, size);
      },
      std::chrono::seconds(10));
  std::vector<TLogLine> unranged, ranged;
  SplitLines(lines, unranged, ranged);
  if (open_ended) *open_ended = unranged;
  return ranged;
}

}  // namespace dltest
