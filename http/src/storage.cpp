#include "qelhttp/storage.hpp"

#include <new>

#include "qelplat/lasterror.h"

namespace qelhttp {

namespace {

boost::system::error_code LastError() {
  return boost::system::error_code(static_cast<int>(GetLastError()), boost::system::system_category());
}

}  // namespace

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
