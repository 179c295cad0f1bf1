// Packing through QELCompress and the writer's handle interface, checked by real readers: Info-ZIP's unzip
// (bytes, times, folders), Python's zipfile (every member's CRC and bytes, the header fields the writer
// promises) and bsdtar. Also the result codes, and the limits of an archive without ZIP64 (4 GiB members,
// 65,535 entries). The compressed streams themselves are covered by deflate_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "QelCompress/QelCompress.h"
#include "ZipWriter.h"
#include "qelplat/codepage.h"
#include "test_support.h"

namespace {

using QelCompress::ZipHandle;

std::wstring W(const std::string& s) { return qelplat::Utf8ToWide(s); }

std::string Shell(const std::string& command, int expected = 0) {
  std::string out;
  int rc = qeltest::RunCommand(command, &out);
  EXPECT_EQ(rc, expected) << command << "\n" << out;
  return out;
}

// QELCompress with a list of paths.
int Pack(const std::string& zip, const std::vector<std::string>& items, int type = QEL_PACK_ZIP) {
  std::unique_ptr<wchar_t[][260]> list(new wchar_t[items.size()][260]());
  for (size_t i = 0; i < items.size(); ++i) wcsncpy(list[i], W(items[i]).c_str(), 259);
  unsigned count = static_cast<unsigned>(items.size());
  return QELCompress(W(zip).c_str(), list.get(), &count, type);
}

std::string Random(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

void SetTime(const std::string& path, long long seconds) {
  Shell("touch -h -d @" + std::to_string(seconds) + " '" + path + "'");
}

long long ModificationTime(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return static_cast<long long>(st.st_mtime);
}

// A Windows-program-like file: "MZ", the new-header offset at 0x3C and the signature there.
std::string PortableExecutable(uint32_t newHeader, const std::string& signature, size_t size) {
  std::string out(size, '\0');
  out[0] = 'M';
  out[1] = 'Z';
  for (int i = 0; i < 4; ++i) out[0x3C + i] = static_cast<char>(newHeader >> (8 * i));
  if (newHeader + signature.size() <= size) out.replace(newHeader, signature.size(), signature);
  return out;
}

// Python's zipfile reads every member back and checks it against the file it came from (root + name):
// bytes, CRC, sizes, method, flags, versions, both extra fields, DOS time in local time, attributes. Folder
// entries must exist below root. The archive must hold exactly the expected names.
const char kCheckScript[] = R"PY(
import os, struct, sys, time, zipfile, zlib
archive, root, executables = sys.argv[1], sys.argv[2], set(filter(None, sys.argv[3].split(',')))
expected = sorted(sys.argv[4:])
errors = []
def check(ok, what):
    if not ok: errors.append(what)
z = zipfile.ZipFile(archive)
check(z.testzip() is None, 'testzip')
check(sorted(z.namelist()) == expected, 'names %r' % sorted(z.namelist()))
raw = open(archive, 'rb').read()
stored = ('.z', '.zip', '.zoo', '.arc', '.lzh', '.arj', '.gz', '.tgz')
for info in z.infolist():
    n = info.filename
    check(info.create_system == 11 and info.create_version == 23 and info.extract_version == 20, n + ' versions')
    check(len(info.extra) == 9 and info.extra[:5] == b'UT\x05\x00\x07', n + ' central extra')
    at = info.header_offset
    sig, need, flags, method = struct.unpack('<IHHH', raw[at:at + 10])
    crc, csize, usize, nlen, xlen = struct.unpack('<IIIHH', raw[at + 14:at + 30])
    check(sig == 0x04034B50 and (flags, method, crc, csize, usize) ==
          (info.flag_bits, info.compress_type, info.CRC, info.compress_size, info.file_size), n + ' local header')
    check(xlen == 17 and raw[at + 30 + nlen:at + 30 + nlen + 5] == b'UT\x0d\x00\x07', n + ' local extra')
    check(info.flag_bits & 8 == 0, n + ' data descriptor')
    if n.endswith('/'):
        check(os.path.isdir(os.path.join(root, n)), n + ' folder')
        check((info.compress_type, info.flag_bits, info.file_size, info.CRC, info.external_attr) ==
              (0, 0, 0, 0, 0x41C00010), n + ' folder fields')
        continue
    path = os.path.join(root, n)
    data = open(path, 'rb').read()
    check(z.read(info) == data, n + ' bytes')
    check(info.CRC == zlib.crc32(data) and info.file_size == len(data), n + ' crc/size')
    plain = n.lower().endswith(stored)
    check(info.compress_type == (0 if plain else 8), n + ' method')
    check(info.flag_bits == (0 if plain else 2), n + ' flags %d' % info.flag_bits)
    st = os.stat(path)
    check(struct.unpack('<i', info.extra[5:9])[0] == int(st.st_mtime), n + ' UT time')
    lt = time.localtime(st.st_mtime)
    check(info.date_time == (lt.tm_year, lt.tm_mon, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec // 2 * 2),
          n + ' DOS time %r' % (info.date_time,))
    read_only = not (st.st_mode & 0o200)
    mode = info.external_attr >> 16
    want = 0x8000 | 0x100 | (0 if read_only else 0x80) | (0x40 if n in executables else 0)
    check(mode == want, n + ' mode %o' % mode)
    check(info.external_attr & 0xFF == 0x20 | (1 if read_only else 0), n + ' DOS attributes')
print('OK' if not errors else '\n'.join(errors))
)PY";

void ExpectPythonAccepts(const qeltest::TempDir& dir, const std::string& zip, const std::string& root,
                         const std::string& executables, const std::vector<std::string>& names) {
  qeltest::WriteFile(dir.file("check.py"), kCheckScript);
  std::string command = "python3 " + dir.file("check.py") + " '" + zip + "' '" + root + "' '" + executables + "'";
  for (const std::string& name : names) command += " '" + name + "'";
  EXPECT_EQ(Shell(command), "OK\n");
}

TEST(ZipWriter, FolderTreeAndFileRoundTripThroughUnzipPythonAndBsdtar) {
  qeltest::TempDir dir;
  qeltest::EnvGuard tz("TZ", "CST-8");  // DOS times are local: not UTC, so a wrong conversion shows
  tzset();
  std::string src = dir.file("src");
  Shell("mkdir -p " + src + "/pkg/bin " + src + "/pkg/empty " + src + "/pkg/sub/deep " + src + "/pkg/only/inner");
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i % 97) + " of the release notes\n";
  qeltest::WriteFile(src + "/pkg/notes.TXT", text);
  qeltest::WriteFile(src + "/pkg/README", "read me\n");
  qeltest::WriteFile(src + "/pkg/empty.txt", "");
  qeltest::WriteFile(src + "/pkg/bundle.ZIP", Random(5000, 1));
  qeltest::WriteFile(src + "/pkg/x.tar.gz", Random(3000, 2));
  qeltest::WriteFile(src + "/pkg/zeros.dat", std::string(1 << 20, '\0'));
  qeltest::WriteFile(src + "/pkg/sub/deep/noise.bin", Random(1 << 20, 3));
  qeltest::WriteFile(src + "/pkg/bin/setup.exe", PortableExecutable(0x80, std::string("PE\0\0", 4), 4096));
  qeltest::WriteFile(src + "/pkg/bin/odd.exe", PortableExecutable(0xFFFFFFF0u, "PE", 4096));
  qeltest::WriteFile(src + "/pkg/bin/locked.dll", "read-only library\n");
  Shell("chmod 0444 " + src + "/pkg/bin/locked.dll");
  qeltest::WriteFile(src + "/top.txt", text.substr(0, 1000));
  long long when = 1600000000;
  for (const char* name :
       {"pkg/notes.TXT", "pkg/README", "pkg/empty.txt", "pkg/bundle.ZIP", "pkg/x.tar.gz", "pkg/zeros.dat",
        "pkg/sub/deep/noise.bin", "pkg/bin/setup.exe", "pkg/bin/odd.exe", "pkg/bin/locked.dll", "top.txt"}) {
    SetTime(src + "/" + name, when += 3601);
  }

  std::string zip = dir.file("out.zip");
  ASSERT_EQ(Pack(zip, {src + "/pkg", src + "/top.txt"}), 0);

  std::vector<std::string> names = {"pkg/notes.TXT",
                                    "pkg/README",
                                    "pkg/empty.txt",
                                    "pkg/bundle.ZIP",
                                    "pkg/x.tar.gz",
                                    "pkg/zeros.dat",
                                    "pkg/sub/",
                                    "pkg/sub/deep/",
                                    "pkg/sub/deep/noise.bin",
                                    "pkg/bin/",
                                    "pkg/bin/setup.exe",
                                    "pkg/bin/odd.exe",
                                    "pkg/bin/locked.dll",
                                    "pkg/empty/",
                                    "pkg/only/",
                                    "pkg/only/inner/",
                                    "top.txt"};
  ExpectPythonAccepts(dir, zip, src, "pkg/bin/setup.exe", names);

  Shell("unzip -tq " + zip);
  Shell("unzip -q " + zip + " -d " + dir.file("by-unzip"));
  Shell("diff -r " + src + " " + dir.file("by-unzip"));
  for (const char* name : {"pkg/notes.TXT", "pkg/zeros.dat", "pkg/bin/setup.exe", "top.txt"}) {
    EXPECT_EQ(ModificationTime(dir.file("by-unzip/") + name), ModificationTime(src + "/" + name)) << name;
  }

  std::string listing = Shell("bsdtar -tvf " + zip);
  for (const std::string& name : names) EXPECT_NE(listing.find(name), std::string::npos) << name;
  Shell("bsdtar -xOf " + zip + " pkg/sub/deep/noise.bin | cmp - " + src + "/pkg/sub/deep/noise.bin");
  Shell("bsdtar -xOf " + zip + " pkg/notes.TXT | cmp - " + src + "/pkg/notes.TXT");
  // The 1 MB of zeros shrinks to a few kilobytes; the random megabyte barely grows.
  EXPECT_LT(std::stoll(Shell("unzip -v " + zip + " | awk '/zeros.dat/ {print $3}'")), 5000);
  EXPECT_LT(std::stoll(Shell("unzip -v " + zip + " | awk '/noise.bin/ {print $3}'")), (1 << 20) + 1024);
}

TEST(ZipWriter, PackTypeAndArgumentsGiveTheExportCodes) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "alpha\n");
  wchar_t list[1][260] = {};
  wcsncpy(list[0], W(dir.file("a.txt")).c_str(), 259);
  unsigned count = 1, none = 0;
  std::wstring zip = W(dir.file("x.zip"));
  EXPECT_EQ(QELCompress(nullptr, list, &count, QEL_PACK_ZIP), 5);
  EXPECT_EQ(QELCompress(zip.c_str(), nullptr, &count, QEL_PACK_ZIP), 5);
  EXPECT_EQ(QELCompress(zip.c_str(), list, nullptr, QEL_PACK_ZIP), 5);
  EXPECT_EQ(QELCompress(zip.c_str(), list, &none, QEL_PACK_ZIP), 5);
  EXPECT_EQ(QELCompress(zip.c_str(), list, &count, QEL_PACK_NONE), 5);
  EXPECT_EQ(QELCompress(zip.c_str(), list, &count, 3), -1);
  EXPECT_FALSE(qeltest::FileExists(dir.file("x.zip")));
  EXPECT_EQ(count, 1u);

  // Naming rar still writes a zip.
  ASSERT_EQ(QELCompress(zip.c_str(), list, &count, QEL_PACK_RAR), 0);
  int type = 0;
  EXPECT_EQ(QELPackType(zip.c_str(), &type), 0);
  EXPECT_EQ(type, QEL_PACK_ZIP);
  EXPECT_EQ(Shell("unzip -p " + dir.file("x.zip") + " a.txt"), "alpha\n");

  EXPECT_EQ(Pack(dir.file("missing-folder/y.zip"), {dir.file("a.txt")}), 23);
}

// A caller of QELCompress may name its paths the Windows way; the names found in a listed folder are the
// file system's own, where a backslash is a character.
TEST(ZipWriter, TheCallersPathsTakeBackslashesAsSeparatorsAndNamesFoundKeepThem) {
  qeltest::TempDir dir;
  std::string src = dir.file("src");
  Shell("mkdir -p " + src + "/pkg/sub");
  qeltest::WriteFile(src + "/pkg/back\\slash.txt", "a backslash in a file's name");
  qeltest::WriteFile(src + "/pkg/sub/inner.txt", "inner");
  qeltest::WriteFile(src + "/top.txt", "top");
  // Below the test's folder, the way a Windows caller writes them.
  auto windows = [&](std::string relative) {
    for (char& c : relative) c = c == '/' ? '\\' : c;
    return dir.path() + "\\" + relative;
  };
  std::string zip = dir.file("out/win.zip");
  Shell("mkdir " + dir.file("out"));
  int packed = Pack(windows("out/win.zip"), {windows("src/pkg"), windows("src/top.txt")});
  std::string misplaced = windows("out/win.zip");
  bool astray = qeltest::FileExists(misplaced);
  unlink(misplaced.c_str());
  ASSERT_EQ(packed, 0);
  EXPECT_FALSE(astray) << "no file named with backslashes beside the folder";
  EXPECT_EQ(Shell("unzip -Z1 " + zip + " | sort"), "pkg/back\\slash.txt\npkg/sub/\npkg/sub/inner.txt\ntop.txt\n");
  EXPECT_EQ(Shell("unzip -p " + zip + " 'pkg/back\\\\slash.txt'"), "a backslash in a file's name");
}

TEST(ZipWriter, AMissingListEntryFailsAfterTheEntriesBeforeIt) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "alpha\n");
  std::string zip = dir.file("x.zip");
  EXPECT_EQ(Pack(zip, {dir.file("a.txt"), dir.file("nowhere"), dir.file("a.txt")}), 0x200);
  // What was added before is still a readable archive.
  EXPECT_EQ(Shell("unzip -Z1 " + zip), "a.txt\n");
  EXPECT_EQ(Pack(zip, {dir.file("nowhere/")}), 0x200);
}

TEST(ZipWriter, HandleInterfaceCodes) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "alpha\n");
  ZipHandle* handle = nullptr;
  EXPECT_EQ(QelCompress::CreateZip(W(dir.file("no/such/dir/x.zip")).c_str(), &handle), 0x200u);
  EXPECT_EQ(handle, nullptr);
  ASSERT_EQ(QelCompress::CreateZip(W(dir.file("x.zip")).c_str(), &handle), 0u);
  QelCompress::ZipWriter* writer = handle->writer;
  EXPECT_EQ(QelCompress::ZipAdd(nullptr, W(dir.file("a.txt")).c_str(), L"a", QelCompress::ZIP_ADD_FILE), 0x10000u);
  EXPECT_EQ(QelCompress::ZipAdd(writer, W(dir.file("a.txt")).c_str(), nullptr, QelCompress::ZIP_ADD_FILE), 0x10000u);
  EXPECT_EQ(QelCompress::ZipAdd(writer, W(dir.file("a.txt")).c_str(), L"", QelCompress::ZIP_ADD_FILE), 0x10000u);
  EXPECT_EQ(QelCompress::ZipAdd(writer, W(dir.file("gone")).c_str(), L"gone", QelCompress::ZIP_ADD_FILE), 0x200u);
  EXPECT_EQ(QelCompress::ZipAdd(writer, W(dir.path()).c_str(), L"dir", QelCompress::ZIP_ADD_FILE), 0x200u);
  // Names use "/" and folders end in one, whatever the caller wrote.
  EXPECT_EQ(QelCompress::ZipAdd(writer, W(dir.file("a.txt")).c_str(), L"x\\y\\a.txt", QelCompress::ZIP_ADD_FILE), 0u);
  EXPECT_EQ(QelCompress::ZipAdd(writer, nullptr, L"x\\y", QelCompress::ZIP_ADD_FOLDER), 0u);
  EXPECT_EQ(QelCompress::AddFileToZip(nullptr, W(dir.file("a.txt")).c_str()), 0x10000u);
  EXPECT_EQ(QelCompress::AddFileToZip(handle, W(dir.file("a.txt")).c_str()), 0u);
  EXPECT_EQ(QelCompress::CloseZip(nullptr), 0x10000u);
  EXPECT_EQ(QelCompress::CloseZip(handle), 0u);
  std::string closed = qeltest::ReadFile(dir.file("x.zip"));
  EXPECT_EQ(QelCompress::CloseZip(handle), 0u);
  EXPECT_EQ(QelCompress::ZipAdd(writer, W(dir.file("a.txt")).c_str(), L"b", QelCompress::ZIP_ADD_FILE), 0x50000u);
  EXPECT_EQ(qeltest::ReadFile(dir.file("x.zip")), closed);
  EXPECT_EQ(Shell("unzip -Z1 " + dir.file("x.zip")), "x/y/a.txt\nx/y/\na.txt\n");
  Shell("unzip -tq " + dir.file("x.zip"));

  // A reader's handle is the wrong kind for every writer call.
  ZipHandle reader{1, nullptr};
  EXPECT_EQ(QelCompress::CloseZip(&reader), 0x80000u);
  EXPECT_EQ(QelCompress::AddFileToZip(&reader, W(dir.file("a.txt")).c_str()), 0x80000u);
  EXPECT_EQ(QelCompress::AddFolderRecursive(&reader, W(dir.path()), L""), 0x80000u);
  EXPECT_EQ(QelCompress::AddFolderRecursive(nullptr, W(dir.path()), L""), 0x10000u);
  QelCompress::FreeZipWriter(handle);
}

TEST(ZipWriter, WriteFailuresAreReported) {
  if (!qeltest::FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("a.txt"), "alpha\n");
  EXPECT_EQ(Pack("/dev/full", {dir.file("a.txt")}), 0x400);
  ZipHandle* handle = nullptr;
  ASSERT_EQ(QelCompress::CreateZip(L"/dev/full", &handle), 0u);
  EXPECT_EQ(QelCompress::ZipAdd(handle->writer, nullptr, L"d", QelCompress::ZIP_ADD_FOLDER), 0x400u);
  EXPECT_EQ(QelCompress::CloseZip(handle), 0x400u);  // even the end record alone is refused
  QelCompress::FreeZipWriter(handle);
}

TEST(ZipWriter, MembersOver4GiBAreRefusedBeforeTheirDataIsWritten) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("small.txt"), "small\n");
  for (const char* size : {"4294967297", "4294967295"}) {
    Shell(std::string("truncate -s ") + size + " " + dir.file("big.bin"));
    std::string zip = dir.file("x.zip");
    EXPECT_EQ(Pack(zip, {dir.file("small.txt"), dir.file("big.bin"), dir.file("small.txt")}), 0x400) << size;
    struct stat st {};
    ASSERT_EQ(stat(zip.c_str(), &st), 0);
    EXPECT_LT(st.st_size, 4096) << size;
    EXPECT_EQ(Shell("unzip -Z1 " + zip), "small.txt\n");
  }
}

TEST(ZipWriter, AtMost65535Entries) {
  qeltest::TempDir dir;
  qeltest::WriteFile(dir.file("tiny.txt"), "tiny tiny tiny tiny\n");
  ZipHandle* handle = nullptr;
  ASSERT_EQ(QelCompress::CreateZip(W(dir.file("many.zip")).c_str(), &handle), 0u);
  std::wstring source = W(dir.file("tiny.txt"));
  uint32_t failed = 0;
  for (int i = 0; i < 65535 && failed == 0; ++i) {
    // Files and folders alike count; files every so often keep the run short.
    std::wstring name = L"e" + std::to_wstring(i);
    failed = i % 8 == 0 ? QelCompress::ZipAdd(handle->writer, source.c_str(), name.c_str(), QelCompress::ZIP_ADD_FILE)
                        : QelCompress::ZipAdd(handle->writer, nullptr, name.c_str(), QelCompress::ZIP_ADD_FOLDER);
  }
  EXPECT_EQ(failed, 0u);
  EXPECT_EQ(QelCompress::ZipAdd(handle->writer, nullptr, L"one-too-many", QelCompress::ZIP_ADD_FOLDER), 0x400u);
  EXPECT_EQ(QelCompress::ZipAdd(handle->writer, source.c_str(), L"one-too-many", QelCompress::ZIP_ADD_FILE), 0x400u);
  EXPECT_EQ(QelCompress::CloseZip(handle), 0u);
  QelCompress::FreeZipWriter(handle);
  std::string zip = dir.file("many.zip");
  EXPECT_EQ(Shell("python3 -c \"import zipfile; z = zipfile.ZipFile('" + zip +
                  "'); print(len(z.namelist()), z.testzip(), z.read('e65528'))\""),
            "65535 None b'tiny tiny tiny tiny\\n'\n");
  Shell("unzip -tq " + zip);
}

TEST(ZipWriter, LinksArchiveInsideAndOddTimes) {
  qeltest::TempDir dir;
  std::string pkg = dir.file("pkg");
  Shell("mkdir -p " + pkg + "/sub");
  qeltest::WriteFile(pkg + "/target.txt", "target\n");
  qeltest::WriteFile(pkg + "/old.txt", "old\n");
  qeltest::WriteFile(pkg + "/future.txt", "future\n");
  SetTime(pkg + "/old.txt", 0);
  SetTime(pkg + "/future.txt", 7258118400LL);  // 2200-01-01
  Shell("ln -s .. " + pkg + "/sub/loop && ln -s ../target.txt " + pkg + "/sub/link.txt");

  // A link back up the tree is not followed; a link to a file is read through.
  std::string zip = dir.file("x.zip");
  ASSERT_EQ(Pack(zip, {pkg}), 0);
  EXPECT_EQ(Shell("unzip -Z1 " + zip + " | sort"),
            "pkg/future.txt\npkg/old.txt\npkg/sub/\npkg/sub/link.txt\npkg/target.txt\n");
  EXPECT_EQ(Shell("unzip -p " + zip + " pkg/sub/link.txt"), "target\n");
  // DOS dates run from 1980 to 2107 and the Unix times are signed 32-bit: both are held at their ends.
  EXPECT_EQ(Shell("python3 -c \"import zipfile, struct; z = zipfile.ZipFile('" + zip +
                  "'); [print(i.date_time, struct.unpack('<i', i.extra[5:9])[0]) for i in z.infolist() "
                  "if 'old' in i.filename or 'future' in i.filename]\" | sort"),
            "(1980, 1, 1, 0, 0, 0) 0\n(2107, 12, 31, 23, 59, 58) 2147483647\n");

  // The archive is never its own member, even when it is written into the folder being packed.
  std::string inside = pkg + "/self.zip";
  EXPECT_EQ(Pack(inside, {pkg}), 0x200);
  std::string names = Shell("unzip -Z1 " + inside);
  EXPECT_EQ(names.find("self.zip"), std::string::npos);
  EXPECT_NE(names.find("pkg/target.txt"), std::string::npos);
  Shell("unzip -tq " + inside);
}

TEST(ZipWriter, EmptyFoldersAddNothingOfTheirOwn) {
  qeltest::TempDir dir;
  Shell("mkdir -p " + dir.file("empty") + " " + dir.file("nest/a/b"));
  std::string zip = dir.file("x.zip");
  ASSERT_EQ(Pack(zip, {dir.file("empty")}), 0);
  EXPECT_EQ(qeltest::ReadFile(zip), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  ASSERT_EQ(Pack(zip, {dir.file("nest/")}), 0);
  EXPECT_EQ(Shell("unzip -Z1 " + zip + " | sort"), "nest/a/\nnest/a/b/\n");
}

}  // namespace
