// The guards before a zip is unpacked, against archives built to get past them: a decoy end record that
// shows the guards an empty directory while the unzip code reads 200 entries over one stretch of data, and
// a zip that declares more than the disk holds, unpacked into a folder whose name is no valid text. Both are
// refused before anything is written. Archives the unzip code reads as the guards do (a comment, zip64
// records, a program in front) still unpack.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "QelCompress/QelCompress.h"
#include "qelplat/codepage.h"
#include "test_support.h"

namespace {

std::wstring P(const std::string& bytes) { return qelplat::PathToWide(bytes); }

int Unpack(const std::string& archive, const std::string& dest) {
  return QELDeCompress(P(archive).c_str(), P(dest).c_str());
}

std::string Shell(const std::string& command) {
  std::string out;
  EXPECT_EQ(qeltest::RunCommand(command, &out), 0) << command << "\n" << out;
  return out;
}

std::string Tree(const std::string& dir) {
  std::string out;
  qeltest::RunCommand("cd '" + dir + "' && find . | sort", &out);
  return out;
}

// count directory entries that all read one local entry of size zeros; with decoy, the end record's
// comment holds a zip64 end record of an empty directory with its locator, then the bare signature of a
// second locator, which the unzip code takes for the last one and so falls back to the ordinary end record.
const char kOverlapping[] = R"(import struct, sys, zlib
path, count, size, decoy = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == 'decoy'
data = bytes(size)
packer = zlib.compressobj(9, zlib.DEFLATED, -15)
packed = packer.compress(data) + packer.flush()
crc = zlib.crc32(data)
def name(i): return ('f%04d.bin' % i).encode()
local = struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, 8, 0, 0x21, crc, len(packed), size, 9, 0) + name(0) + packed
directory = b''.join(struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x031e, 20, 0, 8, 0, 0x21, crc, len(packed), size,
                                 9, 0, 0, 0, 0, 0o100644 << 16, 0) + name(i) for i in range(count))
comment = b''
if decoy:
    at = len(local) + len(directory) + 22
    comment = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, 0, 0, 0, at)
    comment += struct.pack('<IIQI', 0x07064b50, 0, at, 1) + b'PK\x06\x07'
end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, count, count, len(directory), len(local), len(comment))
open(path, 'wb').write(local + directory + end + comment)
)";

std::string Overlapping(const qeltest::TempDir& dir, const std::string& name, bool decoy) {
  qeltest::WriteFile(dir.file("overlap.py"), kOverlapping);
  std::string zip = dir.file(name);
  Shell("python3 " + dir.file("overlap.py") + " " + zip + " 200 65536 " + (decoy ? "decoy" : "plain"));
  return zip;
}

TEST(ZipGuards, ADecoyEndRecordInTheCommentIsRefusedWithNothingWritten) {
  qeltest::TempDir dir;
  std::string decoy = Overlapping(dir, "decoy.zip", true);
  std::string plain = Overlapping(dir, "plain.zip", false);
  EXPECT_LT(qeltest::ReadFile(decoy).size(), 20000u) << "200 entries of 64 KiB each, declared in a few KiB";
  std::string listing;
  qeltest::RunCommand("unzip -l " + decoy, &listing);
  EXPECT_NE(listing.find("200 files"), std::string::npos) << "an ordinary reader sees all 200: " << listing;
  EXPECT_EQ(Unpack(decoy, dir.file("out")), 0x200);
  EXPECT_EQ(Tree(dir.file("out")), ".\n") << "nothing written";
  EXPECT_EQ(Unpack(plain, dir.file("out-plain")), 0x200);
  EXPECT_EQ(Tree(dir.file("out-plain")), ".\n");
}

// The end of an archive given zip64 records as well: the end record's fields all ones, the real ones in a
// zip64 end record found through its locator.
const char kZip64End[] = R"(import struct, sys
raw = open(sys.argv[1], 'rb').read()
at = raw.rindex(b'PK\x05\x06')
count, size, offset = struct.unpack('<HII', raw[at + 10:at + 20])
record = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, count, count, size, offset)
locator = struct.pack('<IIQI', 0x07064b50, 0, at, 1)
end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
open(sys.argv[2], 'wb').write(raw[:at] + record + locator + end)
)";

// The guards hold their reading against the unzip code's: what both read alike must still unpack.
TEST(ZipGuards, ArchivesReadAlikeByBothStillUnpack) {
  qeltest::TempDir dir;
  std::string src = dir.file("src");
  Shell("mkdir -p " + src + "/sub && cd " + src + " && printf alpha > a.txt && head -c 100000 /dev/zero > sub/z.bin");
  Shell("cd " + src + " && zip -qr " + dir.file("plain.zip") + " .");
  qeltest::WriteFile(dir.file("zip64.py"), kZip64End);
  Shell("python3 " + dir.file("zip64.py") + " " + dir.file("plain.zip") + " " + dir.file("zip64.zip"));
  Shell("echo 'an archive comment' | zip -qz " + dir.file("plain.zip"));
  // Bytes in front of the archive, its offsets adjusted, as a self-extractor is made (beginning as a zip
  // does, so that the type test takes it for one).
  Shell("printf 'PK\\003\\004' > " + dir.file("sfx.zip") + " && head -c 4092 /dev/zero >> " + dir.file("sfx.zip") +
        " && cat " + dir.file("plain.zip") + " >> " + dir.file("sfx.zip") + " && zip -qA " + dir.file("sfx.zip"));
  for (const char* name : {"plain.zip", "zip64.zip", "sfx.zip"}) {
    std::string out = dir.file(std::string("out-") + name);
    EXPECT_EQ(Unpack(dir.file(name), out), 0) << name;
    Shell("diff -r " + src + " " + out);
  }
}

// In a mount namespace of its own, a 4 MiB disk with a folder whose name holds a Latin-1 byte; a zip that
// unpacks to 16 MiB of zeros (16 KiB on disk, kept elsewhere) is unpacked into it.
std::string UnpackOntoSmallDisk(const std::string& zip, const std::string& disk, const std::string& folder) {
  return qeltest::InChild(
      [&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=4m,mode=0755") != 0)
          return std::string("no disk");
        std::string target = disk + "/" + folder;
        mkdir(target.c_str(), 0755);
        int rc = Unpack(zip, target);
        std::string used;
        qeltest::RunCommand("du -sk '" + disk + "' | cut -f1", &used);
        return "rc " + std::to_string(rc) + " tree " + Tree(target) + "kB " + used;
      },
      false);
}

TEST(ZipGuards, AZipLargerThanTheFreeSpaceIsRefusedBeforeWritingIntoALatin1Folder) {
  if (getuid() != 0 || qeltest::RunCommand("unshare -m true") != 0) GTEST_SKIP() << "needs a mount namespace";
  qeltest::TempDir dir;
  std::string zip = dir.file("big.zip");
  qeltest::WriteFile(dir.file("big.py"),
                     "import sys, zipfile\n"
                     "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                     "    z.writestr('setup.exe', '#!/bin/sh\\n')\n"
                     "    with z.open('big.bin', 'w') as f:\n"
                     "        for _ in range(16):\n"
                     "            f.write(bytes(1 << 20))\n");
  Shell("python3 " + dir.file("big.py") + " " + zip);
  std::string disk = dir.file("disk");
  ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
  EXPECT_EQ(UnpackOntoSmallDisk(zip, disk, "caf\xE9"), "rc 1024 tree .\nkB 0\n");
  EXPECT_EQ(UnpackOntoSmallDisk(zip, disk, "plain"), "rc 1024 tree .\nkB 0\n");
}

}  // namespace
