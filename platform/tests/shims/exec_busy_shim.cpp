// Preloaded into a program by the tests of starts that meet a busy file. In each process, the first exec of
// a path ending in $QEL_BUSY_EXEC_SUFFIX fails with ETXTBSY, as it does while a copy of the process, forked
// by another thread, still holds the file open for writing; each such failure adds one byte to the file
// $QEL_BUSY_EXEC_LOG. Every other exec goes to the kernel unchanged. Only system calls: the exec of a
// program is made in a forked copy of a threaded process.
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

bool g_refused = false;

bool EndsWith(const char* text, const char* suffix) {
  const size_t length = strlen(text);
  const size_t tail = strlen(suffix);
  return tail > 0 && length >= tail && strcmp(text + length - tail, suffix) == 0;
}

void Count() {
  const char* log = getenv("QEL_BUSY_EXEC_LOG");
  if (!log) return;
  const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const ssize_t ignored = write(fd, "x", 1);
  (void)ignored;
  close(fd);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int execve(const char* path, char* const argv[],
                                                             char* const envp[]) {
  const char* suffix = getenv("QEL_BUSY_EXEC_SUFFIX");
  if (!g_refused && suffix && EndsWith(path, suffix)) {
    g_refused = true;
    Count();
    errno = ETXTBSY;
    return -1;
  }
  return static_cast<int>(syscall(SYS_execve, path, argv, envp));
}
