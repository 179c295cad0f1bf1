// Archives made by real tools in the test itself (Info-ZIP zip, Python's zipfile, stored-rar writers
// checked with bsdtar), unpacked through the library's exports.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QelCompress/QelCompress.h"
#include "RarLayout.h"
#include "qelplat/codepage.h"
#include "test_support.h"

namespace {

std::wstring W(const std::string& s) { return qelplat::Utf8ToWide(s); }

int Unpack(const std::string& archive, const std::string& dest) {
  return QELDeCompress(W(archive).c_str(), W(dest).c_str());
}

int Shell(const std::string& command) {
  std::string out;
  int rc = qeltest::RunCommand(command, &out);
  EXPECT_EQ(rc, 0) << command << "\n" << out;
  return rc;
}

// Python's zipfile writing members given as (name, data[, unix mode[, host]]) tuples; host 0 is how archivers on
// Windows mark their members.
void PythonZip(const std::string& path, const std::string& members, const std::string& extra = "") {
  std::string script = path + ".py";
  qeltest::WriteFile(script, "import zipfile\nz = zipfile.ZipFile('" + path + "', 'w', zipfile.ZIP_DEFLATED)\nfor m in " +
                                 members +
                                 ":\n    info = zipfile.ZipInfo(m[0], date_time=(2020, 5, 17, 10, 20, 30))\n"
                                 "    info.compress_type = zipfile.ZIP_DEFLATED\n"
                                 "    if len(m) > 2:\n        info.create_system = 3\n"
                                 "        info.external_attr = m[2] << 16\n"
                                 "    if len(m) > 3:\n        info.create_system = m[3]\n"
                                 "    z.writestr(info, m[1])\nz.close()\n" +
                                 extra + "\n");
  Shell("python3 " + script);
}

std::string Tree(const std::string& dir) {
  std::string out;
  qeltest::RunCommand("cd '" + dir + "' && find . | sort", &out);
  return out;
}

TEST(PackType, TheFirstSevenBytesDecide) {
  qeltest::TempDir dir;
  int type = 7;
  EXPECT_EQ(QELPackType(nullptr, &type), 5);
  EXPECT_EQ(type, 7);
  EXPECT_EQ(QELPackType(W(dir.file("missing")).c_str(), &type), 13);
  struct Case {
    std::string bytes;
    int result;
    int type;
  } cases[] = {{"PK\x03\x04", -1, -1},
               {"PK\x03\x04garbage", 0, 2},
               {std::string("Rar!\x1a\x07\x00", 7), 0, 1},
               {std::string("Rar!\x1a\x07\x01\x00", 8), 0, 1},
               {std::string("Rar!\x1a\x07\x03", 7), 0, -1},
               {std::string("PK\x05\x06\0\0\0\0", 8), 0, -1},
               {std::string("MZ\x90\x00\x03\x00\x00\x00", 8), 0, -1}};
  for (const Case& c : cases) {
    qeltest::WriteFile(dir.file("a.bin"), c.bytes);
    type = 9;
    EXPECT_EQ(QELPackType(W(dir.file("a.bin")).c_str(), &type), c.result);
    EXPECT_EQ(type, c.type);
  }
  qeltest::WriteFile(dir.file("a.bin"), std::string("PK\x05\x06\0\0\0\0", 8));
  EXPECT_EQ(Unpack(dir.file("a.bin"), dir.file("out")), 15);
  qeltest::WriteFile(dir.file("b.bin"), "PK\x03\x04 cut before any directory");
  EXPECT_EQ(Unpack(dir.file("b.bin"), dir.file("out")), 0x200);
  EXPECT_EQ(QELDeCompress(W(dir.file("b.bin")).c_str(), nullptr), 5);
}

TEST(Zip, InfoZipArchivesUnpackWithFoldersBytesTimesAndModes) {
  qeltest::TempDir dir;
  Shell("mkdir -p " + dir.file("src/sub/deep") + " " + dir.file("src/empty"));
  std::string binary;
  for (unsigned i = 0; i < 300000; ++i) binary.push_back(static_cast<char>((i * 7919u) >> 3));
  qeltest::WriteFile(dir.file("src/sub/deep/data.bin"), binary);
  qeltest::WriteFile(dir.file("src/产品说明.txt"), "说明");
  qeltest::WriteFile(dir.file("src/setup.exe"), "#!/bin/sh\necho installed\n");
  Shell("chmod 755 " + dir.file("src/setup.exe") + " && touch -d '2021-03-04 05:06:07' " + dir.file("src/setup.exe"));
  for (const char* level : {"-9", "-0"}) {
    std::string zip = dir.file(std::string("p") + level + ".zip");
    Shell("cd " + dir.file("src") + " && zip -q -r " + level + " " + zip + " .");
    std::string out = dir.file(std::string("out") + level);
    ASSERT_EQ(Unpack(zip, out + "/"), 0) << level;
    EXPECT_EQ(Tree(out), Tree(dir.file("src"))) << level;
    EXPECT_TRUE(qeltest::ReadFile(out + "/sub/deep/data.bin") == binary);
    EXPECT_EQ(qeltest::ReadFile(out + "/产品说明.txt"), "说明");
    struct stat st;
    ASSERT_EQ(stat((out + "/setup.exe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u) << "an installer stays runnable";
    struct stat source;
    stat(dir.file("src/setup.exe").c_str(), &source);
    EXPECT_EQ(st.st_mtime, source.st_mtime) << "the extended time block gives the exact second";
  }
}

// A Unix host records each item's type in the high half of its external attributes. Python's zipfile
// writes the items as given, each holding bytes: only the folder is a folder (with or without its trailing
// "/"), every other type a plain file with its bytes, as unzip writes them, the link one holding its text.
TEST(Zip, EveryUnixItemTypeComesOutAsUnzipWritesIt) {
  qeltest::TempDir dir;
  PythonZip(dir.file("types.zip"),
            "[('fifo', 'pipe bytes', 0o010644), ('char', 'char bytes', 0o020644), ('folder/', '', 0o040755),"
            " ('bare-folder', '', 0o040755), ('block', 'block bytes', 0o060644), ('plain', 'plain', 0o100644),"
            " ('link', 'target', 0o120777), ('socket', 'socket bytes', 0o140644)]");
  ASSERT_EQ(Unpack(dir.file("types.zip"), dir.file("ours")), 0);
  Shell("unzip -qq " + dir.file("types.zip") + " -d " + dir.file("unzip"));
  EXPECT_EQ(Tree(dir.file("ours")), Tree(dir.file("unzip")));
  struct stat st {};
  for (const char* folder : {"folder", "bare-folder"}) {
    ASSERT_EQ(lstat(dir.file(std::string("ours/") + folder).c_str(), &st), 0) << folder;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << folder;
  }
  for (const char* name : {"fifo", "char", "block", "plain", "socket"}) {
    ASSERT_EQ(lstat(dir.file(std::string("ours/") + name).c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    EXPECT_EQ(qeltest::ReadFile(dir.file(std::string("ours/") + name)),
              qeltest::ReadFile(dir.file(std::string("unzip/") + name)))
        << name;
  }
  EXPECT_EQ(qeltest::ReadFile(dir.file("ours/link")), "target");
}

TEST(Zip, FolderEntriesWithoutTheDirectoryBitUnpackAsInfoZipUnpacksThem) {
  // Java's archiver and many others mark a folder only by its trailing separator.
  qeltest::TempDir dir;
  std::string zip = dir.file("jarlike.zip");
  qeltest::WriteFile(dir.file("make.py"),
                     "import zipfile\n"
                     "z = zipfile.ZipFile('" + zip + "', 'w')\n"
                     "def add(name, data, system):\n"
                     "    info = zipfile.ZipInfo(name, date_time=(2020, 5, 17, 10, 20, 30))\n"
                     "    info.create_system = system\n"
                     "    info.external_attr = 0\n"
                     "    z.writestr(info, data)\n"
                     "add('META-INF/', '', 0)\n"
                     "add('META-INF/MANIFEST.MF', 'Manifest-Version: 1.0\\n', 0)\n"
                     "add('lib/', '', 3)\n"
                     "add('lib/deep/', '', 3)\n"
                     "add('lib/deep/a.txt', 'below a bare folder entry', 3)\n"
                     "add('win\\\\sub\\\\', '', 0)\n"
                     "add('win\\\\sub\\\\f.txt', 'backslashes', 0)\n"
                     "add('empty/', '', 0)\n"
                     "z.close()\n");
  Shell("python3 " + dir.file("make.py"));
  ASSERT_EQ(Unpack(zip, dir.file("ours")), 0);
  std::string out;
  // Info-ZIP warns about the backslashes (exit code 1) and unpacks all the same.
  int rc = qeltest::RunCommand("unzip -o -q " + zip + " -d " + dir.file("infozip"), &out);
  ASSERT_LE(rc, 1) << out;
  EXPECT_EQ(Tree(dir.file("ours")), Tree(dir.file("infozip")));
  EXPECT_EQ(qeltest::ReadFile(dir.file("ours/lib/deep/a.txt")), "below a bare folder entry");
  EXPECT_EQ(qeltest::ReadFile(dir.file("ours/win/sub/f.txt")), "backslashes");
  struct stat st;
  ASSERT_EQ(stat(dir.file("ours/empty").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode)) << "a folder entry is never an empty file";
}

TEST(Zip, NothingIsWrittenOutsideTheDestination) {
  qeltest::TempDir dir;
  std::string dest = dir.file("a/b/dest");
  Shell("mkdir -p " + dest + " " + dir.file("outside"));
  Shell("ln -s " + dir.file("outside") + " " + dest + "/planted");
  PythonZip(dir.file("evil.zip"),
            "[('../up1.txt', 'x'), ('..\\\\up2.txt', 'x', 0, 0), ('/abs.txt', 'abs'), ('C:\\\\drive.txt', 'drive', 0, 0),"
            " ('a/../../up3.txt', 'x'), ('..', 'x'), ('a/..', 'x'), ('ok/../b.txt', 'b'),"
            " ('..\\\\..\\\\x.txt', 'xx', 0, 0), ('planted/pwn.txt', 'pwn'), ('good/file.txt', 'good')]");
  int rc = Unpack(dir.file("evil.zip"), dest);
  EXPECT_NE(rc, 0) << "refused names make the result a failure";
  EXPECT_EQ(Tree(dir.file("outside")), ".\n");
  EXPECT_FALSE(qeltest::FileExists(dir.file("a/b/up1.txt")));
  EXPECT_FALSE(qeltest::FileExists(dir.file("a/b/up2.txt")));
  EXPECT_FALSE(qeltest::FileExists(dir.file("a/up3.txt")));
  EXPECT_FALSE(qeltest::FileExists(dir.file("a/b/up3.txt")));
  EXPECT_EQ(qeltest::ReadFile(dest + "/abs.txt"), "abs");
  EXPECT_EQ(qeltest::ReadFile(dest + "/drive.txt"), "drive");
  EXPECT_EQ(qeltest::ReadFile(dest + "/b.txt"), "b");
  EXPECT_EQ(qeltest::ReadFile(dest + "/x.txt"), "xx");
  EXPECT_EQ(qeltest::ReadFile(dest + "/good/file.txt"), "good");
}

// Headers, names, extra fields and data of every length, stored and deflated, so that the reads of the
// unzip code start and end at every distance from the edges of the reader's buffering: Info-ZIP's unzip
// must unpack the very same tree.
TEST(Zip, ThousandsOfItemsOfEveryLengthUnpackAsInfoZipUnpacksThem) {
  qeltest::TempDir dir;
  std::string zip = dir.file("many.zip");
  qeltest::WriteFile(dir.file("many.py"),
                     "import random, struct, zipfile\n"
                     "rng = random.Random(35)\n"
                     "z = zipfile.ZipFile('" + zip + "', 'w')\n"
                     "for i in range(2000):\n"
                     "    name = 'd%d/' % (i % 7) + 'n%d_' % i + 'x' * rng.randrange(0, 240)\n"
                     "    size = rng.choice([0, 1, rng.randrange(2, 200), rng.randrange(4000, 4200),\n"
                     "                       rng.randrange(16000, 17000), rng.randrange(30000, 70000)])\n"
                     "    data = rng.randbytes(size // 3) + b'text ' * (size // 7)\n"
                     "    info = zipfile.ZipInfo(name, date_time=(2020, 5, 17, 10, 20, 30))\n"
                     "    info.create_system = 3\n"
                     "    info.external_attr = 0o100644 << 16\n"
                     "    info.compress_type = zipfile.ZIP_DEFLATED if i % 3 else zipfile.ZIP_STORED\n"
                     "    info.extra = struct.pack('<HH', 0xCAFE, i % 50) + bytes(i % 50)\n"
                     "    z.writestr(info, data)\n"
                     "z.close()\n");
  Shell("python3 " + dir.file("many.py"));
  ASSERT_EQ(Unpack(zip, dir.file("ours")), 0);
  Shell("unzip -q " + zip + " -d " + dir.file("infozip"));
  Shell("diff -r " + dir.file("ours") + " " + dir.file("infozip"));
}

TEST(Zip, DamagedMembersFailButTheOthersAreExtracted) {
  qeltest::TempDir dir;
  PythonZip(dir.file("crc.zip"), "[('one.txt', 'first member'), ('two.txt', 'A' * 5000), ('three.txt', 'third')]",
            "data = bytearray(open('" + dir.file("crc.zip") +
                "', 'rb').read())\ni = data.find(b'two.txt') + 7 + 4\ndata[i] ^= 0x55\nopen('" +
                dir.file("crc.zip") + "', 'wb').write(bytes(data))");
  EXPECT_EQ(Unpack(dir.file("crc.zip"), dir.file("out")), 0x5000000);
  EXPECT_EQ(qeltest::ReadFile(dir.file("out/one.txt")), "first member");
  EXPECT_EQ(qeltest::ReadFile(dir.file("out/three.txt")), "third");
  PythonZip(dir.file("cut.zip"), "[('one.txt', __import__('os').urandom(10000))]");
  Shell("truncate -s 200 " + dir.file("cut.zip"));
  EXPECT_EQ(Unpack(dir.file("cut.zip"), dir.file("out2")), 0x200);
}

// A zip of members given as (name, data[, unix mode]), all stored or all deflated, in which one member is
// then recast: its CRC set to a wrong value and, with a method number, its method changed to it, in its
// local header and its directory record alike (so that the two still agree), its bytes left as they are.
const char kRecast[] = R"(import struct, sys, zipfile
path, kind, target, method, crc = sys.argv[1], sys.argv[2], sys.argv[3].encode(), int(sys.argv[4]), sys.argv[5]
z = zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED if kind == 'deflated' else zipfile.ZIP_STORED)
for name, data, *mode in eval(sys.argv[6]):
    info = zipfile.ZipInfo(name, date_time=(2020, 5, 17, 10, 20, 30))
    info.compress_type = z.compression
    if mode:
        info.create_system, info.external_attr = 3, mode[0] << 16
    z.writestr(info, data)
z.close()
data = bytearray(open(path, 'rb').read())
for signature, name_at, method_at, crc_at in ((b'PK\x03\x04', 26, 8, 14), (b'PK\x01\x02', 28, 10, 16)):
    at = data.find(signature)
    while at >= 0:
        length = struct.unpack_from('<H', data, at + name_at)[0]
        start = at + (30 if signature == b'PK\x03\x04' else 46)
        if data[start:start + length] == target:
            if crc != 'kept':
                struct.pack_into('<I', data, at + crc_at, int(crc, 16))
            if method >= 0:
                struct.pack_into('<H', data, at + method_at, method)
        at = data.find(signature, at + 4)
open(path, 'wb').write(bytes(data))
)";

std::string RecastZip(const qeltest::TempDir& dir, const std::string& name, const std::string& kind,
                      const std::string& members, int method, const std::string& crc) {
  std::string zip = dir.file(name);
  qeltest::WriteFile(dir.file("recast.py"), kRecast);
  Shell("python3 " + dir.file("recast.py") + " " + zip + " " + kind + " setup.exe " + std::to_string(method) + " " +
        crc + " \"" + members + "\"");
  return zip;
}

const char kInstallerMembers[] = "[('readme.txt', 'read me'), ('setup.exe', '#!/bin/sh\\necho installed\\n' * 100, 0o755)]";

// An installer that claims a method the library cannot decode (bzip2 here) while holding plain bytes, its
// two sizes equal, is refused like any other undecodable item, with a wrong CRC or its right one; nothing is
// written for it. Info-ZIP refuses it too.
TEST(Zip, AnItemInAMethodOtherThanStoredOrDeflatedIsRefused) {
  qeltest::TempDir dir;
  for (const char* crc : {"12345678", "kept"}) {
    std::string zip = RecastZip(dir, std::string("bzip-") + crc + ".zip", "stored", kInstallerMembers, 12, crc);
    std::string out = dir.file(std::string("out-") + crc);
    EXPECT_EQ(Unpack(zip, out), 0x5000000) << crc;
    EXPECT_FALSE(qeltest::FileExists(out + "/setup.exe")) << crc;
    EXPECT_EQ(qeltest::ReadFile(out + "/readme.txt"), "read me") << crc;
    std::string said;
    EXPECT_NE(qeltest::RunCommand("unzip -o -q " + zip + " -d " + dir.file(std::string("infozip-") + crc), &said), 0);
  }
}

// Items no password or decoder is given for, each with the code the unpack returns for it: an encrypted
// item 0x1000, an item of a method the unzip library does not know (LZMA here, encrypted or not) 0x700.
// No file is made for any of them, and the other items still come out.
TEST(Zip, EncryptedItemsAndUnknownMethodsLeaveNoFile) {
  qeltest::TempDir dir;
  Shell("mkdir " + dir.file("src"));
  qeltest::WriteFile(dir.file("src/setup.exe"), "#!/bin/sh\n");
  qeltest::WriteFile(dir.file("src/readme.txt"), "read me");
  Shell("cd " + dir.file("src") + " && zip -q -P secret " + dir.file("enc.zip") + " setup.exe && zip -q " +
        dir.file("enc.zip") + " readme.txt");
  EXPECT_EQ(Unpack(dir.file("enc.zip"), dir.file("out-enc")), 0x1000);
  EXPECT_EQ(Tree(dir.file("out-enc")), ".\n./readme.txt\n");
  PythonZip(dir.file("lzma.zip"), kInstallerMembers,
            "import zipfile\nwith zipfile.ZipFile('" + dir.file("lzma.zip") +
                "', 'a') as z:\n    i = zipfile.ZipInfo('packed.bin')\n    z.writestr(i, 'x' * 100, zipfile.ZIP_LZMA)\n"
                "    i = zipfile.ZipInfo('locked.bin')\n    i.flag_bits |= 1\n    z.writestr(i, 'y' * 100, zipfile.ZIP_LZMA)\n");
  EXPECT_EQ(Unpack(dir.file("lzma.zip"), dir.file("out-lzma")), 0x700);
  EXPECT_EQ(Tree(dir.file("out-lzma")), ".\n./readme.txt\n./setup.exe\n");
}

// A wrong CRC fails the unpack whether the member is stored or deflated, and the other members still come
// out.
TEST(Zip, AWrongCrcFailsStoredAndDeflatedItems) {
  qeltest::TempDir dir;
  for (const char* kind : {"stored", "deflated"}) {
    std::string zip = RecastZip(dir, std::string(kind) + ".zip", kind, kInstallerMembers, -1, "12345678");
    std::string said;
    EXPECT_NE(qeltest::RunCommand("unzip -t " + zip, &said), 0) << kind;
    EXPECT_NE(said.find("bad CRC"), std::string::npos) << said;
    std::string out = dir.file(std::string("out-") + kind);
    EXPECT_EQ(Unpack(zip, out), 0x5000000) << kind;
    EXPECT_EQ(qeltest::ReadFile(out + "/readme.txt"), "read me") << kind;
  }
}

TEST(Zip, UnpackingAgainReplacesFilesEvenReadOnlyOnes) {
  qeltest::TempDir dir;
  PythonZip(dir.file("p.zip"), "[('setup.exe', 'new', 0o444), ('dir/', '', 0o40755)]");
  Shell("mkdir -p " + dir.file("out") + " && echo old > " + dir.file("out/setup.exe") + " && chmod 444 " +
      dir.file("out/setup.exe"));
  EXPECT_EQ(Unpack(dir.file("p.zip"), dir.file("out")), 0);
  EXPECT_EQ(qeltest::ReadFile(dir.file("out/setup.exe")), "new");
  EXPECT_EQ(Unpack(dir.file("p.zip"), dir.file("out")), 0) << "and again";
  struct stat st;
  ASSERT_EQ(stat(dir.file("out/dir").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(Zip, NothingUnpackedIsWritableByGroupOrOthers) {
  // Another user could rewrite a world-writable installer between its unpacking and its start.
  qeltest::TempDir dir;
  PythonZip(dir.file("p.zip"),
            "[('setup.exe', '#!/bin/sh\\n', 0o100777), ('tool', 'x', 0o106777), ('data.txt', 'd', 0o100666),"
            " ('bin/', '', 0o40777), ('bin/run', 'r', 0o100775)]");
  ASSERT_EQ(Unpack(dir.file("p.zip"), dir.file("out")), 0);
  struct Case {
    const char* name;
    unsigned mode;
  } cases[] = {{"setup.exe", 0755}, {"tool", 0755}, {"data.txt", 0644}, {"bin/run", 0755}};
  struct stat st;
  for (const Case& c : cases) {
    ASSERT_EQ(stat(dir.file("out/" + std::string(c.name)).c_str(), &st), 0) << c.name;
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.name << ": run and read bits kept, nothing else";
  }
  ASSERT_EQ(stat(dir.file("out/bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07022, 0u) << "a folder too";
}

// A stored archive in the format of RAR 1.5-4.x, or with version 5 in that of RAR5.
std::string MakeRar(const qeltest::TempDir& dir, const std::string& name, const std::string& members,
                    int version = 4) {
  std::string path = dir.file(name);
  Shell("python3 " + std::string(QEL_SOURCE_DIR) + "/archive/tests/make_rar" + std::to_string(version) + ".py " + path +
        " " + members);
  return path;
}

TEST(Rar, StoredArchivesUnpackWithTheirFolders) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "alpha");
  qeltest::WriteFile(dir.file("b.bin"), std::string(70000, 'b'));
  std::string rar = MakeRar(dir, "p.rar", "docs/ docs/a.txt=" + dir.file("a.txt") + " b.bin=" + dir.file("b.bin"));
  std::string listing;
  ASSERT_EQ(qeltest::RunCommand("bsdtar -tf " + rar, &listing), 0) << listing;
  EXPECT_NE(listing.find("docs/a.txt"), std::string::npos);
  int type = 0;
  EXPECT_EQ(QELPackType(W(rar).c_str(), &type), 0);
  EXPECT_EQ(type, 1);
  ASSERT_EQ(Unpack(rar, dir.file("out")), 0);
  EXPECT_EQ(qeltest::ReadFile(dir.file("out/docs/a.txt")), "alpha");
  EXPECT_EQ(qeltest::ReadFile(dir.file("out/b.bin")), std::string(70000, 'b'));
  std::string empty = MakeRar(dir, "empty.rar", "");
  EXPECT_EQ(Unpack(empty, dir.file("out-empty")), 0);
}

TEST(Rar, DamagedOrClimbingArchivesFailWithoutWritingOutside) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "alpha");
  std::string climbing = MakeRar(dir, "up.rar", "../escape.txt=" + dir.file("a.txt"));
  EXPECT_EQ(Unpack(climbing, dir.file("out")), 0);
  EXPECT_FALSE(qeltest::FileExists(dir.file("escape.txt")));
  EXPECT_EQ(qeltest::ReadFile(dir.file("out/escape.txt")), "alpha") << "kept inside";
  std::string refused = MakeRar(dir, "dots.rar", "a/..=" + dir.file("a.txt"));
  EXPECT_EQ(Unpack(refused, dir.file("out-dots")), -1);
  EXPECT_FALSE(qeltest::FileExists(dir.file("a")));
  std::string rar = MakeRar(dir, "d.rar", "first.txt=" + dir.file("a.txt") + " second.txt=" + dir.file("a.txt"));
  std::string bytes = qeltest::ReadFile(rar);
  size_t second = bytes.find("second.txt");
  ASSERT_NE(second, std::string::npos);
  bytes[second - 30] ^= 0x5A;  // inside the second file's header
  qeltest::WriteFile(dir.file("d2.rar"), bytes);
  EXPECT_EQ(Unpack(dir.file("d2.rar"), dir.file("out2")), -1);
  EXPECT_EQ(qeltest::ReadFile(dir.file("out2/first.txt")), "alpha");
  EXPECT_EQ(QELDeCompress(W(rar).c_str(), nullptr), 5);
}

// As in a zip, a second item on a path already written fails the unpack; the first keeps its bytes.
TEST(Rar, ASecondItemOnAPathAlreadyWrittenIsRefused) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "first");
  qeltest::WriteFile(dir.file("b.txt"), "second");
  std::string rar = MakeRar(dir, "twice.rar", "same.txt=" + dir.file("a.txt") + " sub/../same.txt=" +
                                                  dir.file("b.txt") + " after.txt=" + dir.file("b.txt"));
  qeltest::StderrCapture said;
  EXPECT_EQ(Unpack(rar, dir.file("out")), -1);
  EXPECT_EQ(said.Text(), "") << "the type test's two texts are the library's only messages";
  EXPECT_EQ(qeltest::ReadFile(dir.file("out/same.txt")), "first");
  EXPECT_EQ(Tree(dir.file("out")), ".\n./same.txt\n");
}

// A package whose installer is a symbolic link, beside a named pipe, as rar stores them on a Unix host:
// neither is made, neither is left out. Each comes out as a zip's item of the same kind does, a plain file
// with the link's text or with no bytes, and the unpack succeeds.
TEST(Rar, LinkAndPipeItemsComeOutAsPlainFilesAsInAZip) {
  qeltest::TempDir dir;
  std::string rar = MakeRar(dir, "link.rar", "link:setup.exe=/usr/bin/evil fifo:pipe");
  std::string listing;
  ASSERT_EQ(qeltest::RunCommand("bsdtar -tvf " + rar, &listing), 0) << listing;
  EXPECT_NE(listing.find("setup.exe -> /usr/bin/evil"), std::string::npos) << listing;
  Shell("mkdir " + dir.file("src") + " && ln -s /usr/bin/evil " + dir.file("src/setup.exe") + " && mkfifo " +
        dir.file("src/pipe") + " && cd " + dir.file("src") + " && zip -q -y " + dir.file("link.zip") + " setup.exe");
  PythonZip(dir.file("pipe.zip"), "[('pipe', '', 0o010644)]");
  ASSERT_EQ(Unpack(rar, dir.file("from-rar")), 0);
  ASSERT_EQ(Unpack(dir.file("link.zip"), dir.file("from-zip")), 0);
  ASSERT_EQ(Unpack(dir.file("pipe.zip"), dir.file("from-zip")), 0);
  for (const char* name : {"setup.exe", "pipe"}) {
    struct stat fromRar {}, fromZip {};
    ASSERT_EQ(lstat(dir.file(std::string("from-rar/") + name).c_str(), &fromRar), 0) << name;
    ASSERT_EQ(lstat(dir.file(std::string("from-zip/") + name).c_str(), &fromZip), 0) << name;
    EXPECT_TRUE(S_ISREG(fromRar.st_mode)) << name;
    EXPECT_EQ(fromRar.st_mode, fromZip.st_mode) << name;
    EXPECT_EQ(qeltest::ReadFile(dir.file(std::string("from-rar/") + name)),
              qeltest::ReadFile(dir.file(std::string("from-zip/") + name)))
        << name;
  }
  EXPECT_EQ(qeltest::ReadFile(dir.file("from-rar/setup.exe")), "/usr/bin/evil");
  // A link on the path of an earlier item is a second item there, refused as any other.
  qeltest::WriteFile(dir.file("a.txt"), "alpha");
  std::string twice = MakeRar(dir, "twice.rar", "setup.exe=" + dir.file("a.txt") + " link:setup.exe=/usr/bin/evil");
  EXPECT_EQ(Unpack(twice, dir.file("out-twice")), -1);
  EXPECT_EQ(qeltest::ReadFile(dir.file("out-twice/setup.exe")), "alpha");
}

// RAR5 stores links as redirections, with no data: a symbolic link still comes out as a plain file holding
// its text, and a hard link, which holds no bytes of its own, refuses the package rather than being left
// out.
TEST(Rar, Rar5LinksAreWrittenOrRefusedNeverLeftOut) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "alpha");
  std::string rar = MakeRar(dir, "link5.rar", "a.txt=" + dir.file("a.txt") + " link:setup.exe=/usr/bin/evil", 5);
  std::string listing;
  ASSERT_EQ(qeltest::RunCommand("bsdtar -tvf " + rar, &listing), 0) << listing;
  EXPECT_NE(listing.find("setup.exe -> /usr/bin/evil"), std::string::npos) << listing;
  ASSERT_EQ(Unpack(rar, dir.file("out")), 0);
  EXPECT_EQ(qeltest::ReadFile(dir.file("out/a.txt")), "alpha");
  struct stat st {};
  ASSERT_EQ(lstat(dir.file("out/setup.exe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(qeltest::ReadFile(dir.file("out/setup.exe")), "/usr/bin/evil");
  std::string hard = MakeRar(dir, "hard5.rar", "a.txt=" + dir.file("a.txt") + " hardlink:setup.exe=a.txt", 5);
  ASSERT_EQ(qeltest::RunCommand("bsdtar -tvf " + hard, &listing), 0) << listing;
  EXPECT_NE(listing.find("setup.exe link to a.txt"), std::string::npos) << listing;
  EXPECT_EQ(Unpack(hard, dir.file("out-hard")), -1);
  EXPECT_FALSE(qeltest::FileExists(dir.file("out-hard/setup.exe")));
}

}  // namespace

namespace {

// A package of a small file and a larger one, the larger one as `kind` makes it (see make_rar4.py and
// make_rar5.py), in the given format.
std::string MakeTwoItemRar(const qeltest::TempDir& dir, const std::string& name, const std::string& kind, int version,
                           const std::string& options = "") {
  qeltest::WriteFile(dir.file("a.txt"), "alpha");
  std::string large;
  for (int i = 0; large.size() < 70000; ++i) large += std::to_string(i * 7919) + ",";
  qeltest::WriteFile(dir.file("b.bin"), large);
  return MakeRar(dir, name, options + " a.txt=" + dir.file("a.txt") + " " + kind + "b.bin=" + dir.file("b.bin"), version);
}

}  // namespace

// The data of an item must be what its header says was packed: libarchive hands out stored data unchecked.
// A CRC that fails fails the unpack, as a damaged file does; a RAR5 item whose flags carry no CRC is taken
// as it is.
TEST(Rar, AnItemWhoseDataFailsItsCrcFailsTheUnpack) {
  qeltest::TempDir dir;
  for (int version : {4, 5}) {
    std::string tag = "v" + std::to_string(version);
    std::string rar = MakeTwoItemRar(dir, tag + "-crc.rar", "badcrc:", version);
    std::string listing;
    ASSERT_EQ(qeltest::RunCommand("bsdtar -tf " + rar, &listing), 0) << listing;
    EXPECT_EQ(Unpack(rar, dir.file(tag + "-out")), -1) << tag;
    EXPECT_EQ(qeltest::ReadFile(dir.file(tag + "-out/a.txt")), "alpha") << "the items before stay, as after any damage";
  }
  std::string unchecked = MakeTwoItemRar(dir, "nocrc.rar", "nocrc:", 5);
  ASSERT_EQ(Unpack(unchecked, dir.file("nocrc-out")), 0);
  EXPECT_EQ(qeltest::ReadFile(dir.file("nocrc-out/b.bin")), qeltest::ReadFile(dir.file("b.bin")));
}

// One volume of a multi-volume archive holds only part of the package: it is refused before anything is
// written. An item cut at a volume's edge is refused where it stands, in any archive, and never written.
TEST(Rar, AVolumeOfSeveralOrAnItemCutAtItsEdgeIsRefused) {
  qeltest::TempDir dir;
  for (int version : {4, 5}) {
    std::string tag = "v" + std::to_string(version);
    std::string volume = MakeTwoItemRar(dir, tag + "-vol.rar", "split:", version, "--volume");
    std::string listing;
    ASSERT_EQ(qeltest::RunCommand("bsdtar -tf " + volume, &listing), 0) << listing;
    EXPECT_EQ(Unpack(volume, dir.file(tag + "-vol")), -1) << tag;
    EXPECT_EQ(Tree(dir.file(tag + "-vol")), ".\n") << tag;
    std::string whole = MakeTwoItemRar(dir, tag + "-vol-whole.rar", "", version, "--volume");
    EXPECT_EQ(Unpack(whole, dir.file(tag + "-vol-whole")), -1) << tag << ": its other volumes hold more";
    std::string cut = MakeTwoItemRar(dir, tag + "-cut.rar", "split:", version);
    EXPECT_EQ(Unpack(cut, dir.file(tag + "-cut")), -1) << tag;
    EXPECT_EQ(Tree(dir.file(tag + "-cut")), ".\n./a.txt\n") << tag;
  }
}

// No password is ever given: an encrypted item would be written as its ciphertext. A RAR5 file copy holds
// no bytes of its own (they are an earlier item's), and would be written empty. Both refuse the package
// where they stand.
TEST(Rar, EncryptedItemsAndFileCopiesAreRefused) {
  qeltest::TempDir dir;
  for (int version : {4, 5}) {
    std::string tag = "v" + std::to_string(version);
    std::string rar = MakeTwoItemRar(dir, tag + "-enc.rar", "encrypted:", version);
    EXPECT_EQ(Unpack(rar, dir.file(tag + "-enc")), -1) << tag;
    EXPECT_EQ(Tree(dir.file(tag + "-enc")), ".\n./a.txt\n") << tag;
  }
  qeltest::WriteFile(dir.file("a.txt"), "alpha");
  std::string copy = MakeRar(dir, "copy.rar", "a.txt=" + dir.file("a.txt") + " copy:setup.exe=a.txt", 5);
  std::string listing;
  ASSERT_EQ(qeltest::RunCommand("bsdtar -tvf " + copy, &listing), 0) << listing;
  EXPECT_EQ(Unpack(copy, dir.file("copy")), -1);
  EXPECT_EQ(Tree(dir.file("copy")), ".\n./a.txt\n");
}

// What our own reading of the headers adds must not refuse a sound package: solid archives and every kind
// of item the adapter writes still unpack, byte for byte.
TEST(Rar, PlainAndSolidArchivesStillUnpack) {
  qeltest::TempDir dir;
  for (int version : {4, 5}) {
    for (const char* options : {"", "--solid"}) {
      std::string tag = "v" + std::to_string(version) + options;
      std::string rar = MakeTwoItemRar(dir, tag + ".rar", "", version, options);
      ASSERT_EQ(Unpack(rar, dir.file(tag)), 0) << tag;
      EXPECT_EQ(qeltest::ReadFile(dir.file(tag + "/a.txt")), "alpha") << tag;
      EXPECT_EQ(qeltest::ReadFile(dir.file(tag + "/b.bin")), qeltest::ReadFile(dir.file("b.bin"))) << tag;
    }
  }
  std::string mixed = MakeRar(dir, "mixed.rar", "docs/ docs/a.txt=" + dir.file("a.txt") +
                                                    " link:setup.exe=/usr/bin/x fifo:pipe empty=/dev/null");
  ASSERT_EQ(Unpack(mixed, dir.file("mixed")), 0);
  EXPECT_EQ(Tree(dir.file("mixed")), ".\n./docs\n./docs/a.txt\n./empty\n./pipe\n./setup.exe\n");
}

// A package cut short anywhere (a download that stopped) never comes out as a success with an item cut or
// left out: RAR5 always ends with its end header, so any cut fails; a RAR 1.5-4.x archive cut between two
// items looks like one of the oldest versions, which ended without an end block, and holds whole items.
TEST(Rar, ACutPackageFailsWhereItCannotPassForWhole) {
  qeltest::TempDir dir;
  for (int version : {4, 5}) {
    std::string tag = "v" + std::to_string(version);
    qeltest::WriteFile(dir.file("a.txt"), "alpha");
    qeltest::WriteFile(dir.file("c.txt"), std::string(600, 'c'));
    std::string bytes = qeltest::ReadFile(
        MakeRar(dir, tag + ".rar", "a.txt=" + dir.file("a.txt") + " c.txt=" + dir.file("c.txt"), version));
    for (size_t cut = 7; cut < bytes.size(); ++cut) {
      std::string path = dir.file(tag + "-cut.rar"), out = dir.file(tag + "-cut-" + std::to_string(cut));
      qeltest::WriteFile(path, bytes.substr(0, cut));
      int rc = Unpack(path, out);
      if (version == 5) {
        EXPECT_EQ(rc, -1) << tag << " cut at " << cut;
      }
      if (rc != 0) continue;
      for (const char* name : {"a.txt", "c.txt"}) {
        std::string written = out + "/" + name;
        if (!qeltest::FileExists(written)) continue;
        EXPECT_EQ(qeltest::ReadFile(written), qeltest::ReadFile(dir.file(name))) << tag << " cut at " << cut;
      }
    }
  }
}

// The header reader beside libarchive is held against a second reader of rar headers, Python's rarfile, on
// every kind of item the tests make: what the two read of each item (its CRC, size, encryption, split and
// redirection) must agree, so that neither the reader nor the archives made for it can drift from the
// format together.
TEST(Rar, OurHeaderReadingAgreesWithPythonsRarfile) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "alpha");
  qeltest::WriteFile(dir.file("b.bin"), std::string(70000, 'b'));
  std::vector<std::string> archives;
  auto make = [&](const std::string& members, int version) {
    archives.push_back(MakeRar(dir, std::to_string(archives.size()) + ".rar", members, version));
  };
  for (int version : {4, 5}) {
    // Only the RAR 1.5-4.x writer makes folder items.
    const std::string items = (version == 4 ? "docs/ docs/a.txt=" : "a.txt=") + dir.file("a.txt") + " ";
    for (const char* kind : {"", "badcrc:", "split:", "encrypted:"})
      make(items + kind + "b.bin=" + dir.file("b.bin"), version);
    make("--solid " + items + "b.bin=" + dir.file("b.bin"), version);
    make(items + "link:setup.exe=/usr/bin/x", version);
  }
  make("a.txt=" + dir.file("a.txt") + " nocrc:b.bin=" + dir.file("b.bin"), 5);
  make("a.txt=" + dir.file("a.txt") + " copy:setup.exe=a.txt", 5);
  for (const std::string& archive : archives) {
    QelCompress::TRarLayout layout = QelCompress::ReadRarLayout(QelCompress::CArchiveFile(W(archive).c_str()));
    EXPECT_TRUE(layout.complete) << archive;
    std::string ours;
    for (const QelCompress::TRarItem& item : layout.items) {
      const char* redirection = item.copy ? "copy" : item.link_in_header ? "link" : "0";
      ours += std::to_string(item.has_crc ? item.crc : 0) + " " + std::to_string(item.size) + " " +
              std::to_string(item.encrypted) + " " + std::to_string(item.split) + " " + redirection + "\n";
    }
    std::string theirs;
    ASSERT_EQ(qeltest::RunCommand("/usr/bin/python3 " + std::string(QEL_SOURCE_DIR) + "/archive/tests/rarfile_items.py " +
                                      archive,
                                  &theirs),
              0)
        << theirs;
    EXPECT_EQ(ours, theirs) << archive;
  }
}
