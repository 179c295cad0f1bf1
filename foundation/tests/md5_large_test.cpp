// A file past 4 GiB: the byte count must not wrap at 32 bits in the padding's length. The file is sparse,
// so it costs no disk, with data at both ends so a reader that stops or wraps early is caught too.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "QelTools/MD5.h"
#include "test_support.h"

namespace {

TEST(MD5Large, SparseFileLargerThan4GiBMatchesMd5sum) {
  qeltest::TempDir dir("md5large");
  std::string path = dir.file("big.bin");
  const off_t size = (off_t{1} << 32) + 1000;
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
  ASSERT_EQ(pwrite(fd, "tail", 4, size - 4), 4);
  close(fd);

  std::string expected;
  ASSERT_EQ(qeltest::RunCommand("md5sum '" + path + "'", &expected), 0);
  expected = expected.substr(0, 32);
  std::transform(expected.begin(), expected.end(), expected.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });

  QEL::MD5 md5;
  char out[256];
  EXPECT_EQ(std::string(md5.GetMD5OfFile(path.c_str(), out)), expected);
}

}  // namespace
