#pragma once
// A file descriptor owned by one object: closed when the object lets go of it.
#include <unistd.h>

namespace qelplat {

class CFd {
 public:
  explicit CFd(int fd = -1) : fd_(fd) {}
  ~CFd() { Reset(-1); }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  CFd(CFd&& other) noexcept : fd_(other.Release()) {}
  CFd& operator=(CFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int Get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace qelplat
