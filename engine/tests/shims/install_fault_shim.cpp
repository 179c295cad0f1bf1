// Preloaded into a program by the tests of installs that fail or die part-way. It counts the renames (rename,
// renameat, renameat2) that touch a path below $QEL_RENAME_UNDER and, by the count:
//   QEL_RENAME_FAIL_AT=n     the n-th fails with ENOSPC, as on a disk whose folder cannot grow;
//   QEL_RENAME_FAIL_FROM=n   the n-th and every later one fail with EIO, as on a disk gone bad;
//   QEL_RENAME_KILL_AT=n     the process is killed (SIGKILL) just before the n-th.
// With QEL_RENAME_NO_FLAGS set, a renameat2 that asks for more than a plain rename answers EINVAL, as file
// systems without those flags do, and is not counted. With QEL_FLOCK_NONE set, flock fails with EBADF, as it
// does on a folder on NFS. Each fault adds a line to $QEL_RENAME_LOG.
// Only system calls and the environment: nothing here may allocate or call back into the program.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<long> g_count{0};

long Setting(const char* name) {
  const char* value = getenv(name);
  return value ? atol(value) : 0;
}

bool Below(const char* path) {
  const char* root = getenv("QEL_RENAME_UNDER");
  if (!root || !*root || !path) return false;
  const size_t n = strlen(root);
  return strncmp(path, root, n) == 0 && (path[n] == '/' || path[n] == '\0');
}

void Note(const char* what) {
  const char* log = getenv("QEL_RENAME_LOG");
  if (!log) return;
  const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const ssize_t ignored = write(fd, what, strlen(what));
  (void)ignored;
  close(fd);
}

// -1 to go on to the kernel, else the errno to fail with.
int Fault(const char* from, const char* to) {
  if (!Below(from) && !Below(to)) return -1;
  const long n = ++g_count;
  if (n == Setting("QEL_RENAME_KILL_AT")) {
    Note("kill\n");
    kill(getpid(), SIGKILL);
  }
  if (n == Setting("QEL_RENAME_FAIL_AT")) {
    Note("nospace\n");
    return ENOSPC;
  }
  const long from_n = Setting("QEL_RENAME_FAIL_FROM");
  if (from_n > 0 && n >= from_n) {
    Note("io\n");
    return EIO;
  }
  return -1;
}

int Renameat2(int olddir, const char* from, int newdir, const char* to, unsigned flags) {
  if (flags != 0 && getenv("QEL_RENAME_NO_FLAGS")) {
    errno = EINVAL;
    return -1;
  }
  const int err = Fault(from, to);
  if (err >= 0) {
    errno = err;
    return -1;
  }
  return static_cast<int>(syscall(SYS_renameat2, olddir, from, newdir, to, flags));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int renameat2(int olddir, const char* from, int newdir,
                                                                const char* to, unsigned flags) {
  return Renameat2(olddir, from, newdir, to, flags);
}

extern "C" __attribute__((visibility("default"))) int renameat(int olddir, const char* from, int newdir,
                                                               const char* to) {
  return Renameat2(olddir, from, newdir, to, 0);
}

extern "C" __attribute__((visibility("default"))) int rename(const char* from, const char* to) {
  return Renameat2(AT_FDCWD, from, AT_FDCWD, to, 0);
}

extern "C" __attribute__((visibility("default"))) int flock(int fd, int operation) {
  if (getenv("QEL_FLOCK_NONE")) {
    errno = EBADF;
    return -1;
  }
  return static_cast<int>(syscall(SYS_flock, fd, operation));
}
