#include "xvfb.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

// Fontconfig loads its configuration once per process and keeps it for the process's life; that is not a
// leak of ours. Only those once-per-process allocations are left out of the leak report.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace qeltest {

namespace {

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

XvfbServer::XvfbServer(const std::string& screen) {
  if (FindProgram("Xvfb").empty()) return;
  int fds[2];
  if (pipe(fds) != 0) return;
  // -displayfd: the server picks a free display number itself and writes it once it is ready.
  server_ = ChildProcess({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-nolisten", "tcp",
                          "-noreset"},
                         "/dev/null");
  close(fds[1]);
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char c;
    ssize_t n = read(fds[0], &c, 1);
    if (n <= 0) break;
    if (c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

int XvfbServer::Xdotool(const std::string& args, std::string* out) const {
  return RunCommand("DISPLAY=" + display_ + " xdotool " + args, out);
}

bool XvfbServer::Click(int x, int y) const {
  return Xdotool("mousemove --sync " + std::to_string(x) + " " + std::to_string(y) + " click 1") == 0;
}

std::string XvfbServer::WaitForWindowClass(const std::string& cls, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string out;
    if (Xdotool("search --onlyvisible --class '^" + cls + "$'", &out) == 0 && !Trim(out).empty()) {
      out = Trim(out);
      return out.substr(0, out.find('\n'));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "";
}

bool XvfbServer::Screenshot(const std::string& pngPath) const {
  return RunCommand("import -display " + display_ + " -window root " + pngPath) == 0;
}

std::string PixelAt(const std::string& png, int x, int y) {
  std::string out;
  RunCommand("convert " + png + " -format '%[fx:int(255*p{" + std::to_string(x) + "," + std::to_string(y) +
                 "}.r)],%[fx:int(255*p{" + std::to_string(x) + "," + std::to_string(y) + "}.g)],%[fx:int(255*p{" +
                 std::to_string(x) + "," + std::to_string(y) + "}.b)]' info:",
             &out);
  return Trim(out);
}

double DarkestIn(const std::string& png, int x, int y, int w, int h) {
  std::string out;
  int rc = RunCommand("convert " + png + " -crop " + std::to_string(w) + "x" + std::to_string(h) + "+" +
                          std::to_string(x) + "+" + std::to_string(y) +
                          " +repage -colorspace Gray -format '%[fx:minima]' info:",
                      &out);
  // No answer is no measurement: reading it as 0 would pass every "something dark is drawn here" check.
  std::string text = Trim(out);
  char* end = nullptr;
  double value = text.empty() ? 0 : std::strtod(text.c_str(), &end);
  if (rc != 0 || text.empty() || end != text.c_str() + text.size()) {
    ADD_FAILURE() << "cannot measure " << png << ": " << out;
    return 1.0;
  }
  return value;
}

}  // namespace qeltest
