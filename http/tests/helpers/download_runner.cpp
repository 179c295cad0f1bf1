// One multi-connection download in a process of its own, for the tests that kill a download midway and
// resume it. The process kills itself with SIGKILL at a fixed point, so every run stops where it was told
// to, whatever the timing.
//
// download_runner <url> <target> <resume file> <connections> <kill after bytes> <how>
//   how: "after" (SIGKILL once the block that reaches the byte count is written), "torn" (half of that block
//   written, then SIGKILL), "tick" (SIGKILL in the first progress report at or past the byte count),
//   "none" (run to the end).
// Exit status 0 when every byte of the file is on disk, 1 when not, 2 for bad arguments.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qelhttp/http_download.hpp"

namespace {

int64_t g_kill_after = -1;
std::string g_how = "none";
int64_t g_written = 0;

void KillNow() { kill(getpid(), SIGKILL); }

// The default file storage, counting what it writes and dying at the chosen byte.
class CKillingStorage : public qelhttp::default_storge {
 public:
  int64_t write(const char* buf, int64_t offset, int size) override {
    bool reaches = g_kill_after >= 0 && g_written + size >= g_kill_after;
    if (reaches && g_how == "torn") {
      qelhttp::default_storge::write(buf, offset, size / 2);
      KillNow();
    }
    int64_t n = qelhttp::default_storge::write(buf, offset, size);
    g_written += size;
    if (reaches && g_how == "after") KillNow();
    return n;
  }
};

qelhttp::storage_interface* MakeStorage() { return new CKillingStorage; }

void OnProgress(CHttpDownload::progress_info* info, void*) {
  if (g_how == "tick" && g_kill_after >= 0 && info->bytes_downloaded >= g_kill_after) KillNow();
}

void OnError(int code, const char* message, void*) { fprintf(stderr, "error %d: %s\n", code, message); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: download_runner <url> <target> <resume file> <connections> <kill after> <how>\n");
    return 2;
  }
  g_kill_after = atoll(argv[5]);
  g_how = argv[6];
  qelhttp::settings settings;
  settings.meta_file = boost::filesystem::path(argv[3]).wstring();
  settings.connections_limit = atoi(argv[4]);
  settings.time_out = 2;
  settings.storage_constructor = MakeStorage;
  boost::asio::io_context io;
  CHttpDownload download(io);
  download.error_callback = OnError;
  download.progress_callback = OnProgress;
  download.start(argv[2], settings, argv[1]);
  io.run();
  bool complete = download.wait_for_complete();
  printf("%lld of %lld\n", static_cast<long long>(download.bytes_download()),
         static_cast<long long>(download.file_size.load()));
  return complete ? 0 : 1;
}
