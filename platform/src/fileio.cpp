#include "qelplat/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "qelplat/codepage.h"
#include "qelplat/lasterror.h"
#include "qelplat/netapi.h"

namespace {

// The file pointer is the handle's own, as on Windows, and kept here: a positioned read or write is then
// one system call (pread/pwrite), with no seek before it.
class FileObject : public qelplat::KernelObject {
 public:
  explicit FileObject(int fd) : fd_(fd) {}
  ~FileObject() override { close(fd_); }
  int fd() const { return fd_; }
  int64_t position = 0;

 private:
  int fd_;
};

const int64_t kUnixEpochIn100ns = 116444736000000000LL;  // 1601-01-01 .. 1970-01-01

// Wide paths carry every byte of a file name (see PathToWide), so each one reaches the same file.
std::string Narrow(LPCWSTR path) { return path ? qelplat::WideToPath(path) : std::string(); }

bool ParentExists(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;
  std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  struct stat st;
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ENOENT means "file not found" (2) when the folder is there, "path not found" (3) when it is not.
void SetErrorForPath(int err, const std::string& path) {
  if (err == ENOENT)
    SetLastError(ParentExists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  else
    SetLastError(qelplat::Win32FromErrno(err));
}

int OpenFlags(DWORD access, DWORD disposition, bool* ok) {
  *ok = true;
  int flags = O_CLOEXEC;
  bool read = access & GENERIC_READ, write = access & GENERIC_WRITE;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW: return flags | O_CREAT | O_EXCL;
    case CREATE_ALWAYS: return flags | O_CREAT | O_TRUNC;
    case OPEN_EXISTING: return flags;
    case OPEN_ALWAYS: return flags | O_CREAT;
    case TRUNCATE_EXISTING: return flags | O_TRUNC;
    default: *ok = false; return flags;
  }
}

HANDLE OpenFile(const std::string& path, DWORD access, DWORD disposition, DWORD flagsAndAttributes) {
  bool ok = false;
  int flags = OpenFlags(access, disposition, &ok);
  if (!ok || path.empty()) {
    SetLastError(ok ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  struct stat before;
  bool existed = stat(path.c_str(), &before) == 0;
  mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  int fd = open(path.c_str(), flags, mode);
  if (fd < 0) {
    int err = errno;
    if (err == EEXIST && disposition == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
    } else {
      SetErrorForPath(err, path);
    }
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    // A folder is no file: Windows refuses it with "access denied".
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (flagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // Windows reports "already exists" on success when an always-disposition met an existing file.
  bool always = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  SetLastError(always && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return qelplat::RegisterHandle(std::make_unique<FileObject>(fd));
}

DWORD AttributesOf(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) {
    SetErrorForPath(path.empty() ? ENOENT : errno, path);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (S_ISREG(st.st_mode)) attributes |= FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL SetAttributes(const std::string& path, DWORD attributes) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) {
    SetErrorForPath(path.empty() ? ENOENT : errno, path);
    return FALSE;
  }
  mode_t mode = st.st_mode & 07777;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else if (!(mode & S_IWUSR)) {
    mode |= S_IWUSR;
  }
  if (chmod(path.c_str(), mode) != 0) {
    qelplat::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveFile(const std::string& path) {
  struct stat st;
  if (!path.empty() && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (path.empty() || unlink(path.c_str()) != 0) {
    SetErrorForPath(path.empty() ? ENOENT : errno, path);
    return FALSE;
  }
  return TRUE;
}

FileObject* FileOf(HANDLE file) { return qelplat::HandleObject<FileObject>(file); }

int FdOf(HANDLE file) {
  FileObject* object = FileOf(file);
  return object ? object->fd() : -1;
}

bool Seek(FileObject* file, int64_t distance, DWORD method, int64_t* result) {
  int64_t base = 0;
  if (method == FILE_CURRENT) {
    base = file->position;
  } else if (method == FILE_END) {
    struct stat st;
    if (fstat(file->fd(), &st) != 0) {
      qelplat::SetLastErrorFromErrno();
      return false;
    }
    base = st.st_size;
  } else if (method != FILE_BEGIN) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if ((distance > 0 && base > INT64_MAX - distance) || base + distance < 0) {
    SetLastError(131 /* ERROR_NEGATIVE_SEEK */);
    return false;
  }
  file->position = base + distance;
  *result = file->position;
  return true;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD, SECURITY_ATTRIBUTES*, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE) {
  // "\\.\<name>" names a device; the only devices opened here are network cards.
  static const char kDevicePrefix[] = "\\\\.\\";
  if (path && strncmp(path, kDevicePrefix, 4) == 0) return qelplat::OpenNetworkDevice(path + 4);
  return OpenFile(path ? path : "", access, disposition, flagsAndAttributes);
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD, SECURITY_ATTRIBUTES*, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE) {
  return OpenFile(Narrow(path), access, disposition, flagsAndAttributes);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED*) {
  if (read) *read = 0;
  FileObject* object = FileOf(file);
  if (!object) return FALSE;
  int fd = object->fd();
  char* out = static_cast<char*>(buffer);
  DWORD done = 0;
  while (done < toRead) {
    ssize_t n = ::pread(fd, out + done, toRead - done, static_cast<off_t>(object->position));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      qelplat::SetLastErrorFromErrno();
      if (read) *read = done;
      return FALSE;
    }
    if (n == 0) break;  // end of file: success with fewer bytes
    done += static_cast<DWORD>(n);
    object->position += n;
  }
  if (read) *read = done;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED*) {
  if (written) *written = 0;
  FileObject* object = FileOf(file);
  if (!object) return FALSE;
  int fd = object->fd();
  const char* in = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < toWrite) {
    ssize_t n = ::pwrite(fd, in + done, toWrite - done, static_cast<off_t>(object->position));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      qelplat::SetLastErrorFromErrno();
      if (written) *written = done;
      return FALSE;
    }
    done += static_cast<DWORD>(n);
    object->position += n;
  }
  if (written) *written = done;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
  FileObject* object = FileOf(file);
  if (!object) return INVALID_SET_FILE_POINTER;
  int64_t move = distanceHigh ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                                     static_cast<uint32_t>(distance))
                              : static_cast<int64_t>(distance);
  int64_t pos = 0;
  if (!Seek(object, move, method, &pos)) return INVALID_SET_FILE_POINTER;
  if (distanceHigh) *distanceHigh = static_cast<LONG>(pos >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(pos & 0xFFFFFFFF);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD method) {
  FileObject* object = FileOf(file);
  if (!object) return FALSE;
  int64_t pos = 0;
  if (!Seek(object, distance.QuadPart, method, &pos)) return FALSE;
  if (newPosition) newPosition->QuadPart = pos;
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return INVALID_FILE_SIZE;
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(size.QuadPart >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size.QuadPart & 0xFFFFFFFF);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
  int fd = FdOf(file);
  if (fd < 0) return FALSE;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    qelplat::SetLastErrorFromErrno();
    return FALSE;
  }
  if (size) size->QuadPart = st.st_size;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  int fd = FdOf(file);
  if (fd < 0) return FALSE;
  if (fsync(fd) != 0) {
    qelplat::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
  int fd = FdOf(file);
  if (fd < 0) return FALSE;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    qelplat::SetLastErrorFromErrno();
    return FALSE;
  }
  if (creation) *creation = qelplat::FileTimeFromUnix(st.st_mtim);
  if (lastAccess) *lastAccess = qelplat::FileTimeFromUnix(st.st_atim);
  if (lastWrite) *lastWrite = qelplat::FileTimeFromUnix(st.st_mtim);
  return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* lastAccess, const FILETIME* lastWrite) {
  int fd = FdOf(file);
  if (fd < 0) return FALSE;
  timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_nsec = UTIME_OMIT;
  if (lastAccess) times[0] = qelplat::UnixFromFileTime(*lastAccess);
  if (lastWrite) times[1] = qelplat::UnixFromFileTime(*lastWrite);
  if (futimens(fd, times) != 0) {
    qelplat::SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) { return AttributesOf(path ? path : ""); }
DWORD GetFileAttributesW(LPCWSTR path) { return AttributesOf(Narrow(path)); }
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) { return SetAttributes(path ? path : "", attributes); }
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) { return SetAttributes(Narrow(path), attributes); }
BOOL CreateDirectoryA(LPCSTR path, SECURITY_ATTRIBUTES*) { return qelplat::MakeDirectory(path ? path : "", 0777); }
BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES*) { return qelplat::MakeDirectory(Narrow(path), 0777); }
BOOL DeleteFileA(LPCSTR path) { return RemoveFile(path ? path : ""); }
BOOL DeleteFileW(LPCWSTR path) { return RemoveFile(Narrow(path)); }

namespace qelplat {

int FileDescriptor(HANDLE file) { return FdOf(file); }

BOOL MakeDirectory(const std::string& path, unsigned mode) {
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (mkdir(path.c_str(), mode) != 0) {
    SetLastErrorFromErrno(true);
    return FALSE;
  }
  return TRUE;
}

int64_t FileTimeToInt64(const FILETIME& ft) {
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME FileTimeFromInt64(int64_t units) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(units) & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(units) >> 32);
  return ft;
}

FILETIME FileTimeFromUnix(const timespec& t) {
  return FileTimeFromInt64(static_cast<int64_t>(t.tv_sec) * 10000000LL + t.tv_nsec / 100 + kUnixEpochIn100ns);
}

timespec UnixFromFileTime(const FILETIME& ft) {
  int64_t since1970 = FileTimeToInt64(ft) - kUnixEpochIn100ns;
  timespec t;
  t.tv_sec = static_cast<time_t>(since1970 / 10000000LL);
  int64_t rest = since1970 % 10000000LL;
  if (rest < 0) {
    rest += 10000000LL;
    t.tv_sec -= 1;
  }
  t.tv_nsec = static_cast<long>(rest * 100);
  return t;
}

}  // namespace qelplat
