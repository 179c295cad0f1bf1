#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qeltest {

namespace fs = boost::filesystem;

TempDir::TempDir(const std::string& tag) {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed: " + tmpl);
  path_ = buf.data();
}

TempDir::~TempDir() {
  boost::system::error_code ec;
  // Tests may leave read-only files and folders behind; make them removable first.
  for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
    chmod(it->path().c_str(), fs::is_directory(it->symlink_status()) ? 0700 : 0600);
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

EnvGuard::EnvGuard(const std::string& name, const char* value) : name_(name) {
  const char* old = getenv(name.c_str());
  if (old) {
    had_ = true;
    old_ = old;
  }
  if (value)
    setenv(name.c_str(), value, 1);
  else
    unsetenv(name.c_str());
}

EnvGuard::~EnvGuard() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

unsigned short FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

bool WaitForPort(unsigned short port, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logFile,
                           const std::string& workDir) {
  if (argv.empty()) throw std::invalid_argument("empty argv");
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The write end closes when exec succeeds (or the child gives up): reading it to its end waits until the
  // child runs the program, so a test never sees the process while it still is a copy of the test.
  int started[2];
  if (pipe2(started, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) {
    close(started[0]);
    close(started[1]);
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    if (!logFile.empty()) {
      int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
      }
    }
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    setpgid(0, 0);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(started[1]);
  char ignored;
  while (read(started[0], &ignored, 1) < 0 && errno == EINTR) {
  }
  close(started[0]);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && status_ < 0) Stop(SIGKILL);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), status_(other.status_) {
  other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0 && status_ < 0) Stop(SIGKILL);
    pid_ = other.pid_;
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

bool ChildProcess::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = st;
    return false;
  }
  return r == 0;
}

int ChildProcess::Stop(int signal) {
  if (pid_ <= 0) return -1;
  if (status_ >= 0) return status_;
  kill(-pid_, signal);
  kill(pid_, signal);
  int st = 0;
  while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
  }
  status_ = st;
  return status_;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (status_ < 0) return -1;
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (output) *output = out;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string FindProgram(const std::string& name) {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::istringstream ss(path);
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string InChild(const std::function<std::string()>& fn, bool asOrdinaryUser) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "no pipe";
  pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    if (asOrdinaryUser && getuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
      _exit(2);
    std::string out = fn();
    ssize_t written = write(pipeFds[1], out.data(), out.size());
    _exit(written == static_cast<ssize_t>(out.size()) ? 0 : 3);
  }
  close(pipeFds[1]);
  std::string out;
  char buffer[256];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "child failed";
}

StderrCapture::StderrCapture() : file_(dir_.file("stderr")) {
  fflush(stderr);
  saved_ = dup(2);
  FILE* f = fopen(file_.c_str(), "w");
  if (f) {
    dup2(fileno(f), 2);
    fclose(f);
  }
}

StderrCapture::~StderrCapture() { Restore(); }

std::string StderrCapture::Text() {
  Restore();
  return ReadFile(file_);
}

void StderrCapture::Restore() {
  if (saved_ < 0) return;
  fflush(stderr);
  dup2(saved_, 2);
  close(saved_);
  saved_ = -1;
}

}  // namespace qeltest

namespace qeltest {

void WriteFileLogConfig(const std::string& folder) {
  WriteFile(folder + "/log4cxx.properties",
            "log4j.rootLogger=TRACE, f\n"
            "log4j.appender.f=org.apache.log4j.FileAppender\n"
            "log4j.appender.f.File=out.log\n"
            "log4j.appender.f.layout=org.apache.log4j.PatternLayout\n"
            "log4j.appender.f.layout.ConversionPattern=[%p] %m%n\n");
}

}  // namespace qeltest
