#include "qelplat/codepage.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "qelplat/fileio.h"
#include "qelplat/lasterror.h"
#include "test_support.h"

TEST(CodePage, WideAndNarrowRoundTripWithLengthQueries) {
  const char* text = "\xE4\xBA\xA7\xE5\x93\x81 ok";  // two CJK characters, a space, "ok"
  int need = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  EXPECT_EQ(need, 6);  // five characters and the NUL
  wchar_t wide[6];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 6), 6);
  EXPECT_EQ(wide[0], 0x4EA7);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 5), 0);
  EXPECT_EQ(GetLastError(), 122u);

  int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(bytes, 10);
  char back[10];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, 10, nullptr, nullptr), 10);
  EXPECT_STREQ(back, text);
}

TEST(CodePage, InvalidInputIsReplacedNotFailed) {
  // Overlong, surrogate, cut sequence, stray continuation byte.
  std::string bad = "a\xC0\xAF" "b\xED\xA0\x80" "c\xE4\xBA" "d\x80";
  std::wstring wide = qelplat::Utf8ToWide(bad);
  EXPECT_EQ(wide, L"a\uFFFD\uFFFDb\uFFFD\uFFFD\uFFFDc\uFFFD\uFFFDd\uFFFD");
  EXPECT_EQ(qelplat::SanitizeUtf8("ok\xFF"), "ok\xEF\xBF\xBD");
  EXPECT_EQ(qelplat::SanitizeUtf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");

  std::wstring notScalar = {L'x', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000)};
  BOOL used = FALSE;
  char out[8];
  int n = WideCharToMultiByte(CP_ACP, 0, notScalar.c_str(), 3, out, 8, "#", &used);
  EXPECT_EQ(std::string(out, n), "x##");
  EXPECT_TRUE(used);
  EXPECT_EQ(qelplat::WideToUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(CodePage, RejectsBadArguments) {
  wchar_t w[4];
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", -1, w, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, -1, w, 4), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 0, w, 4), 0);
}

// File names are bytes: whatever a folder holds must name the same file after a trip through wide text,
// while valid text still reads as text.
TEST(CodePage, PathsKeepEveryByteThroughWideText) {
  std::mt19937 random(25);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(random() % 24, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 255 + 1);
    ASSERT_EQ(qelplat::WideToPath(qelplat::PathToWide(bytes)), bytes);
  }
  EXPECT_EQ(qelplat::PathToWide("caf\xC3\xA9"), L"caf\u00E9");
  EXPECT_EQ(qelplat::PathToWide("caf\xE9"), std::wstring(L"caf") + static_cast<wchar_t>(0xDCE9));
  bool complete = true;
  EXPECT_EQ(qelplat::WideToPath(std::wstring(1, static_cast<wchar_t>(0xD800)), &complete), "?");
  EXPECT_FALSE(complete);

  qeltest::TempDir dir;
  std::string latin1 = dir.file("caf\xE9.txt");
  qeltest::WriteFile(latin1, "bytes");
  HANDLE file = CreateFileW(qelplat::PathToWide(latin1).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_EQ(GetFileAttributesW(qelplat::PathToWide(dir.file("caf\xC3\xA9.txt")).c_str()), INVALID_FILE_ATTRIBUTES)
      << "a look-alike name is another file";
}
