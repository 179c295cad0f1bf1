// Other projects' test archives, unpacked through the export and held against Info-ZIP's unzip and bsdtar
// on the same files: the same files with the same bytes, or a refusal.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "QelCompress/QelCompress.h"
#include "qelplat/codepage.h"
#include "test_support.h"

namespace {

int Unpack(const std::string& archive, const std::string& dest) {
  return QELDeCompress(qelplat::Utf8ToWide(archive).c_str(), qelplat::Utf8ToWide(dest).c_str());
}

// Every path below a folder with what it holds: a folder, a file's bytes, or a link's text (a package never
// makes a link: its item comes out as a plain file holding that text, so the two count as the same).
using TTree = std::map<std::string, std::string>;

void Walk(const std::string& root, const std::string& relative, TTree* tree) {
  DIR* dir = opendir((root + relative).c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    std::string path = relative + "/" + name;
    struct stat st {};
    if (lstat((root + path).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (*tree)[path] = "(folder)";
      Walk(root, path, tree);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink((root + path).c_str(), target, sizeof target);
      (*tree)[path] = std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else {
      (*tree)[path] = S_ISREG(st.st_mode) ? qeltest::ReadFile(root + path) : "(not a file)";
    }
  }
}

TTree TreeOf(const std::string& root) {
  TTree tree;
  Walk(root, "", &tree);
  return tree;
}

std::string Describe(const TTree& tree) {
  std::string text;
  for (const auto& item : tree) text += item.first + " (" + std::to_string(item.second.size()) + " bytes)\n";
  return text;
}

struct TOthers {
  int unzip = 0;
  int bsdtar = 0;
  TTree by_unzip;
  TTree by_bsdtar;
  // unzip's 1 is a warning: everything was unpacked.
  bool UnzipRefused() const { return unzip > 1; }
  bool BsdtarRefused() const { return bsdtar != 0; }
};

TOthers UnpackByOthers(const std::string& archive, const qeltest::TempDir& dir, const std::string& tag) {
  TOthers others;
  std::string byUnzip = dir.file(tag + "-unzip"), byBsdtar = dir.file(tag + "-bsdtar");
  others.unzip = qeltest::RunCommand("unzip -qq -o '" + archive + "' -d '" + byUnzip + "' </dev/null");
  qeltest::RunCommand("mkdir -p '" + byBsdtar + "'");
  others.bsdtar = qeltest::RunCommand("bsdtar -xf '" + archive + "' -C '" + byBsdtar + "'");
  others.by_unzip = TreeOf(byUnzip);
  others.by_bsdtar = TreeOf(byBsdtar);
  return others;
}

// What is refused by design although unzip and bsdtar unpack it, with the code the export returns.
const std::map<std::string, int> kRefusedByDesign = {
    // Bytes before the first local header (a self-extractor's program, a prefix): the type test reads the
    // first bytes, which are no zip's; an empty zip begins with its end record and is no zip either.
    {"go-test-prefix.zip", 15},
    {"py-exe_with_zip", 15},
    {"py-exe_with_z64", 15},
    {"py-test_decompress_without_3rd_party_library.zip", 15},
    // Sizes or offsets that the central directory leaves to a zip64 block: the unzip library on 64-bit
    // Linux does not read them there.
    {"go-zip64.zip", 0x200},
    {"go-zip64-2.zip", 0x200},
    // A zip64 end record whose locator points nowhere: refused where others fall back to the plain one.
    {"py-zip64-end-record-offset-0.zip", 0x200},
};

// Go's archive/zip test data and Python's zipfile tests, as Debian packages them: each archive comes out as
// unzip or bsdtar unpacks it (files, folders and bytes), or is refused where one of them refuses it too, or
// by design (above). Names are kept as the bytes they are, as bsdtar keeps them, where unzip converts.
TEST(ZipAgainstUnzip, OtherProjectsTestArchivesComeOutAsUnzipOrBsdtarHasThem) {
  qeltest::TempDir dir;
  std::string folder = dir.file("archives");
  std::string said;
  ASSERT_EQ(qeltest::RunCommand("python3 " + std::string(QEL_SOURCE_DIR) + "/archive/tests/other_zips.py " + folder, &said),
            0)
      << said;
  DIR* listing = opendir(folder.c_str());
  ASSERT_NE(listing, nullptr);
  std::vector<std::string> names;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(listing);
  ASSERT_GE(names.size(), 60u);
  int alike = 0, refused = 0;
  for (const std::string& name : names) {
    std::string archive = folder + "/" + name;
    int rc = Unpack(archive, dir.file(name + "-ours"));
    TOthers others = UnpackByOthers(archive, dir, name);
    auto byDesign = kRefusedByDesign.find(name);
    if (byDesign != kRefusedByDesign.end()) {
      EXPECT_EQ(rc, byDesign->second) << name;
      ++refused;
      continue;
    }
    if (rc != 0) {
      EXPECT_TRUE(others.UnzipRefused() || others.BsdtarRefused())
          << name << ": refused with " << rc << " where unzip and bsdtar unpack it";
      ++refused;
      continue;
    }
    TTree ours = TreeOf(dir.file(name + "-ours"));
    bool asUnzip = !others.UnzipRefused() && ours == others.by_unzip;
    bool asBsdtar = !others.BsdtarRefused() && ours == others.by_bsdtar;
    EXPECT_TRUE(asUnzip || asBsdtar) << name << "\nours:\n" << Describe(ours) << "unzip (" << others.unzip
                                     << "):\n" << Describe(others.by_unzip) << "bsdtar (" << others.bsdtar
                                     << "):\n" << Describe(others.by_bsdtar);
    ++alike;
  }
  std::cout << alike << " unpacked as unzip or bsdtar, " << refused << " refused" << std::endl;
}

}  // namespace
