#include "qelplat/lasterror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

TEST(LastError, IsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seen = 0;
  std::thread([&] { seen = GetLastError(); }).join();
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(GetLastError(), 5u);
}

TEST(LastError, ErrnoMapsToTheNumbersTheCodeTests) {
  EXPECT_EQ(qelplat::Win32FromErrno(EEXIST), 183u);
  EXPECT_EQ(qelplat::Win32FromErrno(ENOENT), 2u);
  EXPECT_EQ(qelplat::Win32FromErrno(ENOENT, true), 3u);
  EXPECT_EQ(qelplat::Win32FromErrno(EACCES), 5u);
  EXPECT_EQ(qelplat::Win32FromErrno(EPERM), 5u);
  EXPECT_EQ(qelplat::Win32FromErrno(EROFS), 19u);
}
