#include "qelplat/fileio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include "qelplat/findfile.h"
#include "qelplat/lasterror.h"
#include "test_support.h"

namespace {

struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

std::set<std::string> Found(const std::string& pattern) {
  std::set<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.insert(data.cFileName);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return names;
}

TEST(FindFile, StarDotStarListsEveryNameAsOnWindows) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "a");
  qeltest::WriteFile(dir.file("no_extension"), "b");
  qeltest::WriteFile(dir.file("stale.meta"), "c");
  ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
  EXPECT_EQ(Found(dir.file("*.*")),
            (std::set<std::string>{".", "..", "a.txt", "no_extension", "stale.meta", "folder"}));
  EXPECT_EQ(Found(dir.file("*.meta")), (std::set<std::string>{"stale.meta"}));
  EXPECT_EQ(Found(dir.file("*.zip")), std::set<std::string>{});
}

}  // namespace

TEST(FileIo, DispositionsBehaveAndReportAsWindowsDoes) {
  qeltest::TempDir dir;
  std::string path = dir.file("a.bin");

  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  std::string deep = dir.file("missing/a.bin");
  EXPECT_EQ(CreateFileA(deep.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  {
    Handle f(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(f.h, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
  }
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  {
    Handle f(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_FLAG_RANDOM_ACCESS, nullptr));
    ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);  // success, but the file was there
    EXPECT_EQ(GetFileSize(f.h, nullptr), 5u);
  }
  {
    Handle f(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(f.h, nullptr), 0u);
  }
  // A folder is not a file.
  EXPECT_EQ(CreateFileA(dir.path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(FileIo, ReadsWritesAndSeeksPastFourGigabytes) {
  qeltest::TempDir dir;
  std::wstring path = L"/" + std::wstring(dir.path().begin() + 1, dir.path().end()) + L"/\u5927.bin";
  Handle f(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
  ASSERT_NE(f.h, INVALID_HANDLE_VALUE);

  LARGE_INTEGER far;
  far.QuadPart = (5LL << 32) + 3;  // beyond what a 32-bit size can hold
  ASSERT_TRUE(SetFilePointerEx(f.h, far, nullptr, FILE_BEGIN));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(f.h, "xyz", 3, &n, nullptr));
  DWORD high = 0;
  EXPECT_EQ(GetFileSize(f.h, &high), 6u);
  EXPECT_EQ(high, 5u);

  LONG back = -1;
  EXPECT_EQ(SetFilePointer(f.h, -4, &back, FILE_END), 2u);
  EXPECT_EQ(back, 5);
  char buf[8] = {};
  ASSERT_TRUE(ReadFile(f.h, buf, sizeof(buf), &n, nullptr));
  EXPECT_EQ(n, 4u);  // end of file: success with fewer bytes
  EXPECT_EQ(std::string(buf, 4), std::string("\0xyz", 4));

  EXPECT_EQ(SetFilePointer(f.h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
}

TEST(FileIo, EveryHandleKeepsItsOwnFilePointer) {
  qeltest::TempDir dir;
  std::string path = dir.file("shared.bin");
  Handle a(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
  Handle b(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(a.h, INVALID_HANDLE_VALUE);
  ASSERT_NE(b.h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(a.h, "0123456789", 10, &n, nullptr));
  ASSERT_TRUE(WriteFile(a.h, "ab", 2, &n, nullptr));
  LARGE_INTEGER where{};
  LARGE_INTEGER none{};
  ASSERT_TRUE(SetFilePointerEx(a.h, none, &where, FILE_CURRENT));
  EXPECT_EQ(where.QuadPart, 12) << "writes move the pointer of their own handle";
  char buf[4] = {};
  ASSERT_TRUE(ReadFile(b.h, buf, 3, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "012") << "the other handle still reads from its start";
  ASSERT_TRUE(ReadFile(b.h, buf, 3, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "345");
  LARGE_INTEGER back{};
  back.QuadPart = -2;
  ASSERT_TRUE(SetFilePointerEx(a.h, back, &where, FILE_CURRENT));
  ASSERT_TRUE(WriteFile(a.h, "AB", 2, &n, nullptr));
  ASSERT_TRUE(SetFilePointerEx(b.h, back, &where, FILE_END));
  ASSERT_TRUE(ReadFile(b.h, buf, 4, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "AB");
}

TEST(FileIo, HandlesAreCheckedAndClosedOnce) {
  qeltest::TempDir dir;
  HANDLE h = CreateFileA(dir.file("x").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  DWORD n = 7;
  EXPECT_FALSE(WriteFile(h, "a", 1, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(nullptr));
}

TEST(FileIo, FoldersAttributesDeletionAndTimes) {
  qeltest::TempDir dir;
  std::string sub = dir.file("sub");
  EXPECT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryA(dir.file("no/such").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesA(sub.c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(DeleteFileA(sub.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  std::string file = dir.file("f.txt");
  qeltest::WriteFile(file, "data");
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesA(file.c_str()), FILE_ATTRIBUTE_ARCHIVE);

  {
    Handle f(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    timespec when{1600000000, 123456700};
    FILETIME ft = qelplat::FileTimeFromUnix(when);
    ASSERT_TRUE(SetFileTime(f.h, nullptr, &ft, &ft));
  }
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456700);

  EXPECT_TRUE(DeleteFileA(file.c_str()));
  EXPECT_FALSE(DeleteFileA(file.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(FileIo, FileTimeArithmetic) {
  FILETIME epoch = qelplat::FileTimeFromUnix(timespec{0, 0});
  EXPECT_EQ(qelplat::FileTimeToInt64(epoch), 116444736000000000LL);
  timespec before1970 = qelplat::UnixFromFileTime(qelplat::FileTimeFromInt64(116444736000000000LL - 5));
  EXPECT_EQ(before1970.tv_sec, -1);
  EXPECT_EQ(before1970.tv_nsec, 999999500);
}
