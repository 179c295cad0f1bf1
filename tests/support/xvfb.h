#pragma once
// A private X server for window tests: Xvfb on a display number it picks itself, plus xdotool and
// ImageMagick helpers against it. Tests that need it skip when Xvfb is not installed.
#include <string>

#include "test_support.h"

namespace qeltest {

class XvfbServer {
 public:
  // Starts "Xvfb :N -screen 0 <screen>" and waits until it accepts clients.
  explicit XvfbServer(const std::string& screen = "1024x768x24");
  ~XvfbServer() = default;

  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }  // ":N"

  // Runs "xdotool <args>" against this display; returns its exit code, output in *out.
  int Xdotool(const std::string& args, std::string* out = nullptr) const;
  // Clicks the left button at a screen point.
  bool Click(int x, int y) const;
  // Polls until a window whose class matches is mapped; its X id as text, or "" after the timeout.
  std::string WaitForWindowClass(const std::string& cls, int timeoutMs = 10000) const;
  // Saves the whole screen as PNG.
  bool Screenshot(const std::string& pngPath) const;

 private:
  ChildProcess server_;
  std::string display_;
};

// "r,g,b" of one pixel of a PNG, through ImageMagick.
std::string PixelAt(const std::string& png, int x, int y);
// The darkest intensity (0..1) inside a rectangle of a PNG.
double DarkestIn(const std::string& png, int x, int y, int w, int h);

}  // namespace qeltest
