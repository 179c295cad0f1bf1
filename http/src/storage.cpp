#include "qelhttp/storage.hpp"

#include <new>

#include "qelplat/lasterror.h"

namespace qelhttp {

namespace {

namespace sys = boost::system;

class CStorageCategory : public sys::error_category {
 public:
  const char* name() const noexcept override { return "storage"; }

  std::string message(int value) const override {
    switch (value) {
      case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
      case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
      case ERROR_ACCESS_DENIED: return "Access is denied.";
      case ERROR_INVALID_HANDLE: return "The handle is invalid.";
      case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
      case ERROR_WRITE_PROTECT: return "The media is write protected.";
      case ERROR_GEN_FAILURE: return "A device attached to the system is not functioning.";
      case ERROR_SHARING_VIOLATION:
        return "The process cannot access the file because it is being used by another process.";
      case ERROR_FILE_EXISTS: return "The file exists.";
      case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
      case ERROR_DISK_FULL: return "There is not enough space on the disk.";
      case kNegativeSeek: return "An attempt was made to move the file pointer before the beginning of the file.";
      case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
      case ERROR_FILENAME_EXCED_RANGE: return "The filename or extension is too long.";
      default: return "Unknown storage error " + std::to_string(value) + ".";
    }
  }

  sys::error_condition default_error_condition(int value) const noexcept override {
    switch (value) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND: return sys::errc::no_such_file_or_directory;
      case ERROR_ACCESS_DENIED: return sys::errc::permission_denied;
      case ERROR_INVALID_HANDLE: return sys::errc::bad_file_descriptor;
      case ERROR_NOT_ENOUGH_MEMORY: return sys::errc::not_enough_memory;
      case ERROR_WRITE_PROTECT: return sys::errc::read_only_file_system;
      case ERROR_GEN_FAILURE: return sys::errc::io_error;
      case ERROR_SHARING_VIOLATION: return sys::errc::device_or_resource_busy;
      case ERROR_FILE_EXISTS:
      case ERROR_ALREADY_EXISTS: return sys::errc::file_exists;
      case ERROR_INVALID_PARAMETER:
      case kNegativeSeek: return sys::errc::invalid_argument;
      case ERROR_DISK_FULL: return sys::errc::no_space_on_device;
      case ERROR_FILENAME_EXCED_RANGE: return sys::errc::filename_too_long;
      default: return sys::error_condition(value, *this);
    }
  }

 private:
  // What a seek before the start of a file gives.
  static const int kNegativeSeek = 131;
};

// A failed call's error; one that left none still failed.
boost::system::error_code LastError() {
  const boost::system::error_code ec = last_storage_error();
  return ec ? ec : boost::system::error_code(ERROR_GEN_FAILURE, storage_category());
}

}  // namespace

const boost::system::error_category& storage_category() {
  static const CStorageCategory category;
  return category;
}

boost::system::error_code last_storage_error() {
  const DWORD code = GetLastError();
  if (code == ERROR_SUCCESS) return boost::system::error_code();
  return boost::system::error_code(static_cast<int>(code), storage_category());
}

void file::open(const boost::filesystem::path& path, boost::system::error_code& ec) {
  close();
  name_ = path.string();
  handle_ = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    ec = LastError();
    return;
  }
  mode_ = 2;
  ec.clear();
}

void file::close() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  name_.clear();
  mode_ = 0;
}

bool file::seek(int64_t offset, boost::system::error_code& ec) {
  LARGE_INTEGER distance{};
  if (offset == -1) {
    LARGE_INTEGER current{};
    if (!SetFilePointerEx(handle_, distance, &current, FILE_CURRENT)) {
      ec = LastError();
      return false;
    }
    offset = current.QuadPart;
  }
  distance.QuadPart = offset;
  if (!SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN)) {
    ec = LastError();
    return false;
  }
  return true;
}

int64_t file::readv(const buffer_list& buffers, int64_t offset, boost::system::error_code& ec) {
  ec.clear();
  if (!seek(offset, ec)) return -1;
  int64_t total = 0;
  for (const auto& buffer : buffers) {
    DWORD got = 0;
    if (!ReadFile(handle_, buffer.first, static_cast<DWORD>(buffer.second), &got, nullptr)) {
      ec = LastError();
      return -1;
    }
    total += got;
  }
  return total;
}

int64_t file::writev(const const_buffer_list& buffers, int64_t offset, boost::system::error_code& ec) {
  ec.clear();
  if (!seek(offset, ec)) return -1;
  int64_t total = 0;
  for (const auto& buffer : buffers) {
    DWORD put = 0;
    if (!WriteFile(handle_, buffer.first, static_cast<DWORD>(buffer.second), &put, nullptr)) {
      ec = LastError();
      return -1;
    }
    total += put;
  }
  return total;
}

int64_t default_storge::write(const char* buf, int64_t offset, int size) {
  if (size < 0) return -1;
  boost::system::error_code ec;
  return file_.writev({{buf, static_cast<size_t>(size)}}, offset, ec);
}

int64_t default_storge::read(char* buf, int64_t offset, int size) {
  if (size < 0) return -1;
  boost::system::error_code ec;
  return file_.readv({{buf, static_cast<size_t>(size)}}, offset, ec);
}

bool default_storge::eof() {
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  int64_t at = SetFilePointerEx(file_.handle(), zero, &position, FILE_CURRENT) ? position.QuadPart : -1;
  char byte = 0;
  boost::system::error_code ec;
  int64_t got = file_.readv({{&byte, 1}}, at, ec);
  if (at >= 0) {
    LARGE_INTEGER back{};
    back.QuadPart = at;
    SetFilePointerEx(file_.handle(), back, nullptr, FILE_BEGIN);
  }
  return got == 0;
}

storage_interface* default_storage_constructor() { return new (std::nothrow) default_storge; }

}  // namespace qelhttp
