#pragma once
// Where a download's bytes go: an abstract storage written at any offset, its default on one positioned
// file, and the positioned file itself (also the resume file's).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include "qelplat/fileio.h"

namespace qelhttp {

// The category of storage errors: the file layer's error numbers (those of GetLastError: 3 a missing
// folder, 5 access denied, 112 a full disk, ...) with their own texts. Each compares equal to the generic
// condition it means (3 to no_such_file_or_directory, 112 to no_space_on_device, ...). Immutable; any
// thread may use it.
const boost::system::error_category& storage_category();
// The file layer's last error of this thread in the storage category; clear when it holds none.
boost::system::error_code last_storage_error();

class file {
 public:
  typedef std::vector<std::pair<char*, size_t>> buffer_list;
  typedef std::vector<std::pair<const char*, size_t>> const_buffer_list;

  file() = default;
  ~file() { close(); }
  file(const file&) = delete;
  file& operator=(const file&) = delete;

  // Opens for reading and writing, creating an empty file when missing and keeping an existing one's bytes.
  void open(const boost::filesystem::path& path, boost::system::error_code& ec);
  void close();
  bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
  const std::string& name() const { return name_; }
  // offset -1: the current position. The bytes moved, or -1 with ec set.
  int64_t readv(const buffer_list& buffers, int64_t offset, boost::system::error_code& ec);
  int64_t writev(const const_buffer_list& buffers, int64_t offset, boost::system::error_code& ec);
  HANDLE handle() const { return handle_; }

 private:
  bool seek(int64_t offset, boost::system::error_code& ec);

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::string name_;
  int mode_ = 0;
};

class storage_interface {
 public:
  virtual ~storage_interface() = default;
  virtual void open(const boost::filesystem::path& path, boost::system::error_code& ec) = 0;
  virtual void close() = 0;
  virtual int64_t write(const char* buf, int64_t offset, int size) = 0;
  virtual int64_t write(const char* buf, int size) = 0;
  virtual int64_t read(char* buf, int64_t offset, int size) = 0;
  virtual int64_t read(char* buf, int size) = 0;
  virtual bool eof() = 0;
};

class default_storge : public storage_interface {
 public:
  ~default_storge() override { close(); }
  void open(const boost::filesystem::path& path, boost::system::error_code& ec) override { file_.open(path, ec); }
  void close() override { file_.close(); }
  int64_t write(const char* buf, int64_t offset, int size) override;
  int64_t write(const char* buf, int size) override { return write(buf, -1, size); }
  int64_t read(char* buf, int64_t offset, int size) override;
  int64_t read(char* buf, int size) override { return read(buf, -1, size); }
  bool eof() override;

 private:
  file file_;
};

// A new default storage owned by the caller, or null.
storage_interface* default_storage_constructor();

}  // namespace qelhttp
