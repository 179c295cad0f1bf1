#pragma once
// System calls made directly, for code that runs inside a crash signal handler. The libc wrappers may be
// intercepted (a sanitizer checks every buffer handed to write or read, and a dump hands it arbitrary memory
// of the process), and the heap may be the very thing that crashed; these touch neither.
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qelplat {
namespace raw {

// Results are the kernel's: a negative value is -errno. glibc's syscall() is a bare trap that nothing
// intercepts.
inline long Call(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0, long f = 0) {
  const long result = syscall(number, a, b, c, d, e, f);
  return result == -1 ? -errno : result;
}

template <class P>
long Arg(P* pointer) {
  return static_cast<long>(reinterpret_cast<uintptr_t>(pointer));
}

inline int Open(const char* path, int flags) {
  return static_cast<int>(Call(SYS_openat, AT_FDCWD, Arg(path), flags | O_CLOEXEC, 0));
}
inline int Create(const char* path, int flags, int mode) {
  return static_cast<int>(Call(SYS_openat, AT_FDCWD, Arg(path), flags | O_CREAT | O_CLOEXEC, mode));
}
inline void Close(int fd) { Call(SYS_close, fd); }
inline long Write(int fd, const void* buffer, size_t size) {
  return Call(SYS_write, fd, Arg(buffer), static_cast<long>(size));
}
inline long Read(int fd, void* buffer, size_t size) { return Call(SYS_read, fd, Arg(buffer), static_cast<long>(size)); }
inline long PRead(int fd, void* buffer, size_t size, uint64_t offset) {
  return Call(SYS_pread64, fd, Arg(buffer), static_cast<long>(size), static_cast<long>(offset));
}
inline long PWrite(int fd, const void* buffer, size_t size, uint64_t offset) {
  return Call(SYS_pwrite64, fd, Arg(buffer), static_cast<long>(size), static_cast<long>(offset));
}
inline long Truncate(int fd, uint64_t size) { return Call(SYS_ftruncate, fd, static_cast<long>(size)); }
inline int GetPid() { return static_cast<int>(Call(SYS_getpid)); }
inline int GetTid() { return static_cast<int>(Call(SYS_gettid)); }
inline long Kill(int tid, int signal) { return Call(SYS_tgkill, GetPid(), tid, signal); }

inline void* Map(size_t size) {
  const long r = Call(SYS_mmap, 0, static_cast<long>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return r < 0 && r > -4096 ? nullptr : reinterpret_cast<void*>(r);
}
inline void Unmap(void* address, size_t size) { Call(SYS_munmap, Arg(address), static_cast<long>(size)); }
inline void* Remap(void* address, size_t oldSize, size_t newSize) {
  const long r = Call(SYS_mremap, Arg(address), static_cast<long>(oldSize), static_cast<long>(newSize), MREMAP_MAYMOVE);
  return r < 0 && r > -4096 ? nullptr : reinterpret_cast<void*>(r);
}

inline void FutexWait(int* word, int expected, long milliseconds) {
  struct timespec timeout = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
  Call(SYS_futex, Arg(word), FUTEX_WAIT_PRIVATE, expected, Arg(&timeout));
}
inline void FutexWake(int* word) { Call(SYS_futex, Arg(word), FUTEX_WAKE_PRIVATE, 0x7FFFFFFF); }

inline int64_t MonotonicMilliseconds() {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A growing byte buffer in its own mapping (never the heap). Grows by moving, so hold offsets, not pointers.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (m_data) Unmap(m_data, m_capacity);
  }

  char* Data() { return m_data; }
  const char* Data() const { return m_data; }
  size_t Size() const { return m_size; }
  bool Failed() const { return m_failed; }

  bool Reserve(size_t capacity) {
    if (m_failed) return false;
    if (capacity <= m_capacity) return true;
    size_t grown = m_capacity ? m_capacity : 64 * 1024;
    while (grown < capacity) grown *= 2;
    void* data = m_data ? Remap(m_data, m_capacity, grown) : Map(grown);
    if (!data) {
      m_failed = true;
      return false;
    }
    m_data = static_cast<char*>(data);
    m_capacity = grown;
    return true;
  }
  bool Append(const void* bytes, size_t size) {
    if (!Reserve(m_size + size)) return false;
    memcpy(m_data + m_size, bytes, size);
    m_size += size;
    return true;
  }
  bool AppendZeros(size_t size) {
    if (!Reserve(m_size + size)) return false;
    memset(m_data + m_size, 0, size);
    m_size += size;
    return true;
  }
  // Reads a whole file (a /proc file: its size is known only at the end).
  bool AppendFile(const char* path) {
    const int fd = Open(path, O_RDONLY);
    if (fd < 0) return false;
    for (;;) {
      if (!Reserve(m_size + 16 * 1024)) break;
      const long n = Read(fd, m_data + m_size, m_capacity - m_size);
      if (n <= 0) break;
      m_size += static_cast<size_t>(n);
    }
    Close(fd);
    return !m_failed;
  }

 private:
  char* m_data = nullptr;
  size_t m_size = 0;
  size_t m_capacity = 0;
  bool m_failed = false;
};

}  // namespace raw
}  // namespace qelplat
