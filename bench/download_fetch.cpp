// Runs one CHttpDownload to a file and prints how fast it went, for the download benchmarks.
//
// download_fetch <url> <target> [connections] [rate limit] [seconds]
//   connections: 0 (default) one connection as the engine downloads; N >= 1 several connections, at most N.
//   rate limit: bytes per second for the whole download (-1, the default: none).
//   seconds: when given, the download is stopped once that many seconds have passed after its first tick,
//   and the mean rate over them (from the progress reports) is printed instead.
// Prints "<bytes> <seconds>" on the first line, then a readable line.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "qelhttp/http_download.hpp"

namespace {

typedef std::chrono::steady_clock Clock;

struct TTick {
  Clock::time_point at;
  int64_t bytes;
};

struct TRun {
  std::mutex mutex;
  std::vector<TTick> ticks;
  std::atomic<bool> failed{false};
  std::atomic<bool> stopping{false};
};

void OnProgress(CHttpDownload::progress_info* info, void* user) {
  auto* run = static_cast<TRun*>(user);
  std::lock_guard<std::mutex> hold(run->mutex);
  run->ticks.push_back({Clock::now(), static_cast<uint32_t>(info->bytes_downloaded)});
}

void OnError(int code, const char* message, void* user) {
  auto* run = static_cast<TRun*>(user);
  if (run->stopping) return;  // the connections the stop closed
  run->failed = true;
  fprintf(stderr, "error %d: %s\n", code, message);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: download_fetch <url> <target> [connections] [rate limit] [seconds]\n");
    return 2;
  }
  const int connections = argc > 3 ? atoi(argv[3]) : 0;
  const int rate = argc > 4 ? atoi(argv[4]) : -1;
  const int window = argc > 5 ? atoi(argv[5]) : 0;
  qelhttp::settings settings;
  settings.single_connection = connections == 0;
  settings.connections_limit = connections > 0 ? connections : 5;
  settings.download_rate_limit = rate;
  settings.meta_file = boost::filesystem::path(std::string(argv[2]) + ".meta").wstring();
  boost::filesystem::remove(settings.meta_file);

  TRun run;
  boost::asio::io_context io;
  CHttpDownload download(io);
  download.error_callback = OnError;
  download.progress_callback = OnProgress;
  download.callback_user = &run;
  const Clock::time_point begin = Clock::now();
  download.start(argv[2], settings, argv[1]);
  std::thread stopper;
  std::atomic<bool> ended{false};
  if (window > 0) {
    // Stopped from another thread once the window has passed after the first tick.
    stopper = std::thread([&] {
      while (!ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::lock_guard<std::mutex> hold(run.mutex);
        const auto limit = std::chrono::seconds(window) + std::chrono::milliseconds(500);
        if (!run.ticks.empty() && Clock::now() - run.ticks.front().at > limit) break;
      }
      run.stopping = true;
      download.stop();
    });
  }
  io.run();
  ended = true;
  const Clock::time_point end = Clock::now();
  if (stopper.joinable()) stopper.join();
  const bool complete = download.wait_for_complete();
  boost::filesystem::remove(settings.meta_file);
  const int64_t bytes = download.bytes_download();
  if (window > 0) {
    // From the first tick to the last one within the window: whole seconds of limited reading. A download
    // that ended inside the window would end it with a short second.
    if (download.finished()) {
      fprintf(stderr, "the download ended inside the window: give it a larger file\n");
      return 1;
    }
    std::lock_guard<std::mutex> hold(run.mutex);
    if (run.ticks.size() < 2) {
      fprintf(stderr, "too few ticks\n");
      return 1;
    }
    const TTick& first = run.ticks.front();
    TTick last = first;
    for (const TTick& tick : run.ticks) {
      if (tick.at - first.at <= std::chrono::seconds(window) + std::chrono::milliseconds(500)) last = tick;
    }
    const double secs = Seconds(last.at - first.at);
    const double mean = (last.bytes - first.bytes) / secs;
    printf("%lld %.3f\n", static_cast<long long>(last.bytes - first.bytes), secs);
    printf("mean over %.1f s: %.0f bytes/s (limit %d, %+.2f%%)\n", secs, mean, rate, (mean / rate - 1) * 100);
    return 0;
  }
  const double secs = Seconds(end - begin);
  printf("%lld %.3f\n", static_cast<long long>(bytes), secs);
  printf("%lld bytes in %.3f s: %.1f MiB/s%s\n", static_cast<long long>(bytes), secs, bytes / secs / 1048576,
         complete ? "" : " (INCOMPLETE)");
  return complete && !run.failed ? 0 : 1;
}
