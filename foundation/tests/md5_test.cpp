#include "QelTools/MD5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cctype>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

// The reference digest, from the system's md5sum.
std::string Md5sum(const std::string& path) {
  std::string out;
  EXPECT_EQ(qeltest::RunCommand("md5sum '" + path + "'", &out), 0);
  return Upper(out.substr(0, 32));
}

}  // namespace

TEST(MD5, TheReferenceVectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  QEL::MD5 md5;
  for (const auto& v : vectors) {
    char out[256];
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(md5.GetMD5OfString(v.first, out), out);
    EXPECT_STREQ(out, v.second) << v.first;
    EXPECT_TRUE(std::all_of(out + 33, out + 256, [](char c) { return c == 0; }));
  }
  EXPECT_EQ(md5.GetMD5OfString("abc", nullptr), nullptr);
}

TEST(MD5, FilesAroundBlockAndChunkBoundariesMatchMd5sum) {
  qeltest::TempDir dir;
  QEL::MD5 md5;
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 130; ++n) sizes.push_back(n);
  for (size_t n : {1023u, 1024u, 1025u, 4096u, 65535u, 1000000u}) sizes.push_back(n);
  for (size_t n : sizes) {
    std::string data(n, '\0');
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 131 + n) & 0xFF);
    std::string path = dir.file("f" + std::to_string(n));
    qeltest::WriteFile(path, data);
    char out[256];
    md5.GetMD5OfFile(path.c_str(), out);
    ASSERT_EQ(std::string(out), Md5sum(path)) << n << " bytes";
  }
}

// The file is read in large blocks and cut into 1 KiB chunks; whole blocks are digested where they lie and
// only tails wait in the buffer. Random contents and sizes (a fixed seed) around each of those seams.
TEST(MD5, RandomFilesAndStringsOfRandomSizesMatchMd5sum) {
  qeltest::TempDir dir;
  QEL::MD5 md5;
  std::mt19937 random(20240331);
  std::vector<size_t> sizes = {262143, 262144, 262145, 262144 + 1023, 2 * 262144 + 65, 3 * 262144 - 1};
  for (int i = 0; i < 24; ++i) sizes.push_back(random() % (3 * 262144));
  for (size_t n : sizes) {
    std::string data(n, '\0');
    for (char& c : data) c = static_cast<char>(random());
    std::string path = dir.file("r" + std::to_string(n));
    qeltest::WriteFile(path, data);
    char out[256];
    md5.GetMD5OfFile(path.c_str(), out);
    std::string expected = Md5sum(path);
    ASSERT_EQ(std::string(out), expected) << n << " bytes";
    // The same bytes as a string (no NUL inside) take the unchunked road through the same steps.
    std::replace(data.begin(), data.end(), '\0', '\1');
    qeltest::WriteFile(path, data);
    md5.GetMD5OfString(data.c_str(), out);
    ASSERT_EQ(std::string(out), Md5sum(path)) << n << " bytes as a string";
  }
}

TEST(MD5, MissingFileGivesAnEmptyText) {
  QEL::MD5 md5;
  char out[256];
  memset(out, 'x', sizeof(out));
  md5.GetMD5OfFile("/no/such/file", out);
  EXPECT_TRUE(std::all_of(out, out + 256, [](char c) { return c == 0; }));
}

TEST(MD5, OneObjectServesManyThreads) {
  qeltest::TempDir dir;
  std::string path = dir.file("big");
  qeltest::WriteFile(path, std::string(300000, 'q'));
  std::string expected = Md5sum(path);
  QEL::MD5 shared;
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      char out[256];
      for (int i = 0; i < 5; ++i) {
        if (t % 2) {
          shared.GetMD5OfFile(path.c_str(), out);
          if (std::string(out) != expected) results[t] = out;
        } else {
          shared.GetMD5OfString("abc", out);
          if (std::string(out) != "900150983CD24FB0D6963F7D28E17F72") results[t] = out;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_EQ(r, "");
}
