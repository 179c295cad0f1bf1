// Names as real file systems hold them, packed by QELCompress and unpacked both by QELDeCompress and by
// Info-ZIP's unzip: spaces, UTF-8, bytes that are no UTF-8 at all, backslashes and colons (ordinary
// characters on Linux), empty files and folders, names near the length limit, and a system folder. Where a
// name cannot be kept (too long, or a second item on a path already written) the entry fails with an error
// result alone. Also the DOS times of files written around daylight-saving changes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "QelCompress/QelCompress.h"
#include "qelplat/codepage.h"
#include "test_support.h"

namespace {

// Paths travel as wide text that keeps every byte.
std::wstring P(const std::string& bytes) { return qelplat::PathToWide(bytes); }

int Pack(const std::string& zip, const std::vector<std::string>& items) {
  std::unique_ptr<wchar_t[][260]> list(new wchar_t[items.size()][260]());
  for (size_t i = 0; i < items.size(); ++i) {
    std::wstring wide = P(items[i]);
    EXPECT_LT(wide.size(), 260u) << items[i];
    wcsncpy(list[i], wide.c_str(), 259);
  }
  unsigned count = static_cast<unsigned>(items.size());
  return QELCompress(P(zip).c_str(), list.get(), &count, QEL_PACK_ZIP);
}

int Unpack(const std::string& zip, const std::string& dest) { return QELDeCompress(P(zip).c_str(), P(dest).c_str()); }

std::string Shell(const std::string& command) {
  std::string out;
  EXPECT_EQ(qeltest::RunCommand(command, &out), 0) << command << "\n" << out;
  return out;
}

void MakeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') mkdir(path.substr(0, at).c_str(), 0755);
  }
}

void Put(const std::string& root, const std::string& relative, const std::string& data) {
  std::string path = root + "/" + relative;
  MakeFolders(path.substr(0, path.rfind('/')));
  qeltest::WriteFile(path, data);
}

// A tree as relative path -> source path ("" for a folder), read the way the writer reads it: a link to a
// file stands for the file, a link to a folder is not walked into. What the writer cannot pack (a link to
// nothing, a device) is counted in *unpackable.
using TTree = std::map<std::string, std::string>;

void Walk(const std::string& folder, const std::string& name, TTree* tree, int* unpackable = nullptr) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  ASSERT_TRUE(dir) << folder;
  while (dirent* entry = readdir(dir.get())) {
    std::string leaf = entry->d_name;
    if (leaf == "." || leaf == "..") continue;
    std::string path = folder + "/" + leaf;
    std::string relative = name + "/" + leaf;
    struct stat link {}, target {};
    ASSERT_EQ(lstat(path.c_str(), &link), 0) << path;
    bool there = stat(path.c_str(), &target) == 0;
    if (there && S_ISDIR(target.st_mode)) {
      if (S_ISLNK(link.st_mode)) continue;
      (*tree)[relative] = "";
      Walk(path, relative, tree, unpackable);
    } else if (there && S_ISREG(target.st_mode)) {
      (*tree)[relative] = path;
    } else if (unpackable) {
      ++*unpackable;
    }
  }
}

// What unpacking the packed items should give: each folder under its own name, each file at the top.
TTree Expected(const std::vector<std::string>& items, int* unpackable = nullptr) {
  TTree tree;
  for (const std::string& item : items) {
    std::string name = item.substr(item.rfind('/') + 1);
    struct stat st {};
    EXPECT_EQ(stat(item.c_str(), &st), 0) << item;
    if (!S_ISDIR(st.st_mode)) {
      tree[name] = item;
      continue;
    }
    TTree below;
    Walk(item, name, &below, unpackable);
    if (!below.empty()) tree[name] = "";  // the folder itself has no entry: it comes with its contents
    tree.insert(below.begin(), below.end());
  }
  return tree;
}

TTree Unpacked(const std::string& dest) {
  TTree tree;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(dest.c_str()), closedir);
  if (!dir) return tree;
  while (dirent* entry = readdir(dir.get())) {
    std::string leaf = entry->d_name;
    if (leaf == "." || leaf == "..") continue;
    std::string path = dest + "/" + leaf;
    struct stat st {};
    lstat(path.c_str(), &st);
    if (S_ISDIR(st.st_mode)) {
      tree[leaf] = "";
      Walk(path, leaf, &tree);
    } else {
      tree[leaf] = path;
    }
  }
  return tree;
}

// Compared in blocks: a system folder holds hundreds of megabytes.
bool SameBytes(const std::string& a, const std::string& b) {
  std::unique_ptr<FILE, int (*)(FILE*)> fa(fopen(a.c_str(), "rb"), fclose), fb(fopen(b.c_str(), "rb"), fclose);
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 16), bb(1 << 16);
  for (;;) {
    size_t na = fread(ba.data(), 1, ba.size(), fa.get()), nb = fread(bb.data(), 1, bb.size(), fb.get());
    if (na != nb || memcmp(ba.data(), bb.data(), na) != 0) return false;
    if (na == 0) return true;
  }
}

// Same names, same kinds, same bytes; names are shown escaped, since some are no text at all.
void ExpectSameTree(const TTree& expected, const std::string& dest, const std::string& reader) {
  TTree got = Unpacked(dest);
  std::string missing, extra;
  for (const auto& e : expected) {
    auto found = got.find(e.first);
    if (found == got.end() || found->second.empty() != e.second.empty()) {
      missing += " [" + e.first + "]";
      continue;
    }
    if (!e.second.empty()) {
      EXPECT_TRUE(SameBytes(found->second, e.second)) << reader << ": bytes of " << e.first;
    }
  }
  for (const auto& g : got) {
    if (!expected.count(g.first)) extra += " [" + g.first + "]";
  }
  EXPECT_EQ(missing, "") << reader << " lost these";
  EXPECT_EQ(extra, "") << reader << " made these";
}

std::string Repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

// A relative path of exactly chars characters below a folder named prefix (counted with it): ASCII folders of
// 200 characters, then the file.
std::string PathOfLength(const std::string& prefix, size_t chars) {
  std::string path = prefix;
  while (chars - path.size() > 255) path += "/" + std::string(200, 'd');
  path += "/" + std::string(chars - path.size() - 1, 'f');
  return path.substr(prefix.size() + 1);
}

TEST(NameRoundTrip, AGeneratedTreeComesBackWholeThroughBothReaders) {
  qeltest::TempDir dir;
  std::string src = dir.file("src");
  std::string pkg = src + "/pkg";
  const std::string kCjk = "\xE6\x96\x87";  // one character, three bytes
  const std::string shared = Repeat(kCjk, 85) + "/" + Repeat(kCjk, 85) + "/" + Repeat(kCjk, 79);
  std::vector<std::pair<std::string, std::string>> files = {
      {"with space/a b.txt", "spaces"},
      {"\xE4\xBA\xA7\xE5\x93\x81/\xE7\x89\x88\xE6\x9C\xAC \xE8\xAF\xB4\xE6\x98\x8E.txt", "UTF-8 names"},
      {"emoji \xF0\x9F\x98\x80.txt", "four-byte character"},
      {"caf\xE9/inner \xE9\xFE.bin", std::string(70000, '\x5A')},  // Latin-1 folder, file of stray bytes
      {"caf\xE9/deeper/x.txt", "below a folder that is no UTF-8"},
      {"back\\slash.txt", "a backslash is part of the name"},
      {"dir\\with\\backslashes/x.txt", "inside"},
      {"c:colon.txt", "no drive on Linux"},
      {"q?uestion*mark<>|\".txt", "signs"},
      {".hidden", "dot"},
      {"empty.txt", ""},
      // Two names of 256 characters (756 bytes) that share their first 519 bytes.
      {shared + "\xE4\xB8\x80", "first of two long names"},
      {shared + "\xE4\xBA\x8C", "second of two long names"},
      {PathOfLength("pkg", 519), "exactly at the limit"},
  };
  for (const auto& f : files) Put(pkg, f.first, f.second);
  MakeFolders(pkg + "/empty dir");
  MakeFolders(pkg + "/a/b/c");
  Put(src + "/r\xE9sum\xE9", "n\xE4me.txt", "a listed folder whose own name is Latin-1");
  qeltest::WriteFile(src + "/t\xE9st file.txt", "a listed file whose name is Latin-1");

  std::vector<std::string> items = {pkg, src + "/r\xE9sum\xE9", src + "/t\xE9st file.txt"};
  std::string zip = dir.file("tree.zip");
  ASSERT_EQ(Pack(zip, items), 0);
  TTree expected = Expected(items);
  ASSERT_EQ(expected.size(), 31u);

  ASSERT_EQ(Unpack(zip, dir.file("ours")), 0);
  ExpectSameTree(expected, dir.file("ours"), "QELDeCompress");
  Shell("unzip -q " + zip + " -d " + dir.file("infozip"));
  ExpectSameTree(expected, dir.file("infozip"), "unzip");

  // Every byte that is no UTF-8 on its own, in one name. (Info-ZIP's unzip drops 0xFF from names, so only
  // the library's own reader is asked.)
  std::string every;
  for (int byte = 0x80; byte <= 0xFF; ++byte) every += static_cast<char>(byte);
  Put(dir.file("bytes"), every, every);
  ASSERT_EQ(Pack(dir.file("bytes.zip"), {dir.file("bytes")}), 0);
  ASSERT_EQ(Unpack(dir.file("bytes.zip"), dir.file("bytes-back")), 0);
  EXPECT_TRUE(qeltest::ReadFile(dir.file("bytes-back/bytes/") + every) == every);
}

TEST(NameRoundTrip, ASystemFolderComesBackWholeThroughBothReaders) {
  const std::string system = "/usr/share/doc";
  struct stat st {};
  if (stat(system.c_str(), &st) != 0) GTEST_SKIP() << "no " << system;
  qeltest::TempDir dir;
  std::string zip = dir.file("doc.zip");
  int unpackable = 0;
  TTree expected = Expected({system}, &unpackable);
  // A link to nothing fails its entry (0x200); everything else is packed all the same.
  ASSERT_EQ(Pack(zip, {system}), unpackable ? 0x200 : 0);
  ASSERT_GT(expected.size(), 10u);
  ASSERT_EQ(Unpack(zip, dir.file("ours")), 0);
  ExpectSameTree(expected, dir.file("ours"), "QELDeCompress");
  Shell("unzip -q " + zip + " -d " + dir.file("infozip"));
  ExpectSameTree(expected, dir.file("infozip"), "unzip");
}

// 519 characters is the longest name on both sides: the writer refuses a longer one, the reader refuses one
// it meets in an archive from elsewhere; neither cuts, neither writes a message, and the other entries go on. A name holding a NUL
// byte ends there, as the C string it is read into.
TEST(NameLimits, ALongerNameFailsOnTheSideThatMeetsIt) {
  qeltest::TempDir dir;
  std::string pkg = dir.file("pkg");
  std::string at_limit = PathOfLength("pkg", 519);
  std::string over = PathOfLength("pkg", 520);
  Put(pkg, at_limit, "fits");
  Put(pkg, over, "one character too long");
  Put(pkg, "after.txt", "still packed");
  std::string zip = dir.file("w.zip");
  qeltest::StderrCapture writer_says;
  EXPECT_EQ(Pack(zip, {pkg}), 0x10000);
  EXPECT_EQ(writer_says.Text(), "") << "the refusal is the result alone: the library writes no message of it";
  std::string listed = Shell("unzip -Z1 " + zip);
  EXPECT_NE(listed.find("pkg/" + at_limit + "\n"), std::string::npos);
  EXPECT_NE(listed.find("pkg/after.txt\n"), std::string::npos);
  // Cut to 519 characters, the longer name would be the shorter one a second time.
  EXPECT_EQ(listed.find("pkg/" + at_limit + "\n"), listed.rfind("pkg/" + at_limit + "\n")) << "nothing cut is stored";
  ASSERT_EQ(Unpack(zip, dir.file("back")), 0);
  EXPECT_EQ(qeltest::ReadFile(dir.file("back/pkg/" + at_limit)), "fits");

  // Python's zipfile writes what this writer refuses, and items that would land on one path; the NUL byte
  // is put into a stored name afterwards, since zipfile cuts names there itself.
  std::string too_long = std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(199, 'f');
  std::string exact = std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(117, 'g');
  std::string made = dir.file("r.zip");
  qeltest::WriteFile(dir.file("make.py"),
                     "import warnings, zipfile\nwarnings.simplefilter('ignore')\n"
                     "z = zipfile.ZipFile('" + made + "', 'w')\n"
                     "for name, data in [('" + too_long + "', 'long'), ('" + exact + "', 'exact'),"
                     " ('same.txt', 'first'), ('same.txt', 'second'), ('x.txt', 'x1'), ('/x.txt', 'x2'),"
                     " ('nulXbyte.txt', 'nul'), ('last.txt', 'last')]:\n"
                     "    z.writestr(name, data)\nz.close()\n"
                     "raw = open('" + made + "', 'rb').read().replace(b'nulXbyte', b'nul\\x00byte')\n"
                     "open('" + made + "', 'wb').write(raw)\n");
  Shell("python3 " + dir.file("make.py"));
  std::string out = dir.file("out");
  qeltest::StderrCapture reader_says;
  EXPECT_EQ(Unpack(made, out), 0x200);
  EXPECT_EQ(reader_says.Text(), "") << "the refusal is the result alone: the library writes no message of it";
  EXPECT_EQ(qeltest::ReadFile(out + "/" + exact), "exact");
  EXPECT_EQ(qeltest::ReadFile(out + "/same.txt"), "first") << "the first item keeps its path";
  EXPECT_EQ(qeltest::ReadFile(out + "/x.txt"), "x1");
  EXPECT_EQ(qeltest::ReadFile(out + "/last.txt"), "last");
  EXPECT_EQ(qeltest::ReadFile(out + "/nul"), "nul") << "a stored name is read up to its NUL byte";
  EXPECT_EQ(Shell("cd " + out + " && find . -type f | sort"),
            "./" + exact + "\n./last.txt\n./nul\n./same.txt\n./x.txt\n")
      << "nothing cut but at a NUL, nothing at a second path";
}

// The DOS time is the wall clock of the zone at the file's moment, under the rules in force then: past the
// gap after a spring change, and alike for both passes through an autumn hour, east and west of UTC and
// south of the equator.
TEST(DosTimes, FilesWrittenAroundDaylightSavingChangesGetTheirWallClock) {
  struct TCase {
    const char* zone;
    long long utc;
    const char* wall;
  } cases[] = {
      {"Europe/Berlin", 1711846798, "2024-03-31 01:59:58"},  // the last seconds before the gap
      {"Europe/Berlin", 1711848600, "2024-03-31 03:30:00"},  // CEST, the hour after the change
      {"Europe/Berlin", 1729989000, "2024-10-27 02:30:00"},  // CEST, first pass
      {"Europe/Berlin", 1729992600, "2024-10-27 02:30:00"},  // CET, second pass
      {"America/New_York", 1710055800, "2024-03-10 03:30:00"},
      {"America/New_York", 1730611800, "2024-11-03 01:30:00"},
      {"America/New_York", 1730615400, "2024-11-03 01:30:00"},
      {"Australia/Sydney", 1712417400, "2024-04-07 02:30:00"},
      {"Australia/Sydney", 1712421000, "2024-04-07 02:30:00"},
      {"Australia/Sydney", 1728145800, "2024-10-06 03:30:00"},
  };
  qeltest::TempDir dir;
  {
    qeltest::EnvGuard tz("TZ", nullptr);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
      const TCase& c = cases[i];
      setenv("TZ", c.zone, 1);
      tzset();
      std::string file = dir.file("f" + std::to_string(i) + ".txt");
      qeltest::WriteFile(file, "x");
      Shell("touch -d @" + std::to_string(c.utc) + " " + file);
      std::string zip = dir.file("t" + std::to_string(i) + ".zip");
      ASSERT_EQ(Pack(zip, {file}), 0);
      std::string wall = Shell("python3 -c \"import zipfile; print('%04d-%02d-%02d %02d:%02d:%02d' % "
                               "zipfile.ZipFile('" + zip + "').infolist()[0].date_time)\"");
      EXPECT_EQ(wall, std::string(c.wall) + "\n") << c.zone << " at " << c.utc;
      // The exact moment still travels in the extended time block.
      ASSERT_EQ(Unpack(zip, dir.file("u" + std::to_string(i))), 0);
      struct stat st {};
      ASSERT_EQ(stat(dir.file("u" + std::to_string(i) + "/f" + std::to_string(i) + ".txt").c_str(), &st), 0);
      EXPECT_EQ(static_cast<long long>(st.st_mtime), c.utc) << c.zone;
    }
  }
  tzset();
}

}  // namespace
