// Reload figures of the engine's configuration over the registry stand-in: a file of N products (10,000 by
// default), the first reload (reads and parses the file), later reloads (the kept file), a reload after an
// edit; then the peak memory of opening files of hostile shapes, against each file's size.
// Usage: registry_reload <folder> [products] [MiB of each memory shape, 32 by default]; the folder receives
// HKEY_CURRENT_USER.reg, which holds the products file at the end.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ClientConfig.h"
#include "EngineLog.h"
#include "qelplat/registry.h"

namespace {

double Seconds(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Write(const std::string& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

std::string Products(int count, const std::string& extra) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n"
                     "\"server\"=\"http://127.0.0.1/checkVersionInfo.html\"\r\n\"check_timespan\"=\"60\"\r\n";
  for (int i = 0; i < count; ++i) {
    std::string code = "P" + std::to_string(i);
    text += "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin\\ProductList\\" + code + "]\r\n\"code\"=\"" + code +
            "\"\r\n\"name\"=\"产品" + code + "\"\r\n\"old_version\"=\"0.9\"\r\n\"current_version\"=\"1.0." +
            std::to_string(i % 97) + extra + "\"\r\n\"execute_file\"=\"/opt/products/" + code + "/" + code +
            ".exe\"\r\n\"check_update_type\"=\"2\"\r\n\"notify_type\"=\"1\"\r\n\"check_timespan\"=\"60\"\r\n"
            "\"check_retry_count\"=\"3\"\r\n\"check_retry_timespan\"=\"3\"\r\n\"download_retry_count\"=\"3\"\r\n"
            "\"download_retry_timespan\"=\"3\"\r\n\"download_failed_count\"=\"0\"\r\n"
            "\"download_failed_max_count\"=\"5\"\r\n";
  }
  return text;
}

long StatusKilobytes(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, strlen(field), field) == 0) return atol(line.c_str() + strlen(field));
  return -1;
}

// Peak memory of the first open of the file's root, in a child process of its own.
long PeakKilobytes(const std::string& file, const std::string& text) {
  Write(file, text);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    malloc_trim(0);  // memory freed earlier stays resident and would hide new allocations
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = StatusKilobytes("VmRSS:");
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &key);
    long peak = rc == ERROR_SUCCESS ? StatusKilobytes("VmHWM:") - before : -1;
    if (write(fds[1], &peak, sizeof peak) != sizeof peak) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  long peak = -1;
  if (read(fds[0], &peak, sizeof peak) != sizeof peak) peak = -1;
  close(fds[0]);
  waitpid(child, nullptr, 0);
  return peak;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: registry_reload <folder> [products] [MiB of each memory shape]\n");
    return 2;
  }
  std::string folder = argv[1];
  int count = argc > 2 ? atoi(argv[2]) : 10000;
  setenv("QEL_REGISTRY_DIR", folder.c_str(), 1);
  g_Log.SetWriter(nullptr);  // the figures are of reading; the few lines the reader logs would go nowhere
  std::string file = folder + "/HKEY_CURRENT_USER.reg";
  std::string text = Products(count, "");
  Write(file, text);

  CClientConfig config;
  int loaded = 0;
  double first = Seconds([&] { loaded = config.Reload(nullptr, nullptr); });
  if (loaded != count) {
    fprintf(stderr, "loaded %d of %d products\n", loaded, count);
    return 1;
  }
  const int passes = 10;
  double kept = Seconds([&] {
    for (int i = 0; i < passes; ++i) config.Reload(nullptr, nullptr);
  });
  Write(file, Products(count, ".1"));
  double edited = Seconds([&] { config.Reload(nullptr, nullptr); });
  printf("file: %d products, %.1f MiB\n", count, text.size() / 1048576.0);
  printf("first reload (read and parse): %.3f s\n", first);
  printf("reload of the kept file:       %.3f s (mean of %d; target < 1 s)\n", kept / passes, passes);
  printf("reload after an edit:          %.3f s\n", edited);

  const size_t target = (argc > 3 ? static_cast<size_t>(atoi(argv[3])) : 32) << 20;
  struct Shape {
    const char* name;
    std::function<std::string(size_t)> line;
  } shapes[] = {
      {"products", [&](size_t) { return std::string(); }},
      {"tiny keys", [](size_t i) { return "[HKCU\\" + std::to_string(i) + "]\n"; }},
      {"deep distinct paths",
       [](size_t i) {
         std::string line = "[HKCU\\" + std::to_string(i);
         for (int level = 0; level < 500; ++level) line += "\\a";
         return line + "]\n";
       }},
      {"tiny values",
       [](size_t i) { return i == 0 ? std::string("[HKCU\\K]\n") : "\"" + std::to_string(i) + "\"=\"\"\n"; }},
      {"repeated default values",
       [](size_t i) { return i == 0 ? std::string("[HKCU\\K]\n") : std::string("@=\"\"\n"); }},
      {"keys each with a value", [](size_t i) { return "[HKCU\\" + std::to_string(i) + "]\n@=dword:1\n"; }},
      {"garbage", [](size_t) { return std::string("x\n"); }},
  };
  fflush(stdout);
  freopen("/dev/null", "w", stderr);  // the garbage shape's warnings
  printf("peak memory of the first open, against the file (target < 10x):\n");
  for (const Shape& shape : shapes) {
    std::string body = "REGEDIT4\n";
    if (std::string(shape.name) == "products") {
      body = Products(static_cast<int>(target / 700), "");
    } else {
      for (size_t i = 0; body.size() < target; ++i) body += shape.line(i);
    }
    long kilobytes = PeakKilobytes(file, body);
    printf("  %-24s %6.1f MiB file, %7.1f MiB peak, %.2fx\n", shape.name, body.size() / 1048576.0,
           kilobytes / 1024.0, kilobytes * 1024.0 / static_cast<double>(body.size()));
  }
  Write(file, text);  // the products file stays for the reference scan
  return 0;
}
