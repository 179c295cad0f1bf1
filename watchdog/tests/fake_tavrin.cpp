// A stand-in client for the watchdog tests. It appends one line to $QEL_FAKE_CLIENT_LOG when it starts:
// its pid, then the descriptors it was started with. Then it waits to be killed.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

int main() {
  std::string line = std::to_string(getpid()) + " fds:";
  if (DIR* dir = opendir("/proc/self/fd")) {
    int own = dirfd(dir);
    while (dirent* item = readdir(dir)) {
      if (item->d_name[0] == '.' || atoi(item->d_name) == own) continue;
      line += std::string(" ") + item->d_name;
    }
    closedir(dir);
  }
  line += "\n";
  if (const char* log = getenv("QEL_FAKE_CLIENT_LOG")) {
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ssize_t ignored = write(fd, line.data(), line.size());
      (void)ignored;
      close(fd);
    }
  }
  for (;;) pause();
}
