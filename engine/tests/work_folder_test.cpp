// The products' work folders against another user of the machine (nobody) and against hostile packages:
// a folder planted under a product's code, or a link in its place, is never used; a zip bomb, whether its
// entries share bytes or it would not fit on the disk, and a package that fails part-way, leave the work
// folder as it was (what the package would have replaced keeps its bytes) and the installer unrun. The disk
// is a small tmpfs in a mount namespace of the test's own.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_test_support.h"
#include "nginx_server.h"
#include "package_support.h"

namespace {

using enginetest::CLogCapture;
using enginetest::KeptProduct;
using enginetest::MakeZip;
using enginetest::PlaceDownloadedPackage;
using enginetest::RecorderScript;

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(WorkFolder, AFolderAnotherUserMadeFirstIsNeverUsed) {
  if (getuid() != 0) GTEST_SKIP() << "another user's folders need root to make";
  qeltest::TempDir dir("planted");
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  // A base folder anyone may write to, as /tmp is; nobody takes P1's name with an open folder and P2's with
  // a link to one.
  std::string base = dir.file("shared");
  ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
  ASSERT_EQ(chmod(base.c_str(), 01777), 0);
  std::string made = qeltest::AsOrdinaryUser([&] {
    bool ok = mkdir((base + "/P1").c_str(), 0777) == 0 && chmod((base + "/P1").c_str(), 0777) == 0 &&
              mkdir((base + "/theirs").c_str(), 0777) == 0 && chmod((base + "/theirs").c_str(), 0777) == 0 &&
              symlink((base + "/theirs").c_str(), (base + "/P2").c_str()) == 0;
    return std::string(ok ? "made" : "not made");
  });
  ASSERT_EQ(made, "made");

  CLogCapture log;
  std::string record = dir.file("record");
  for (const char* code : {"P1", "P2"}) {
    CProductInfo& product = KeptProduct();
    product.SetBaseFolder(base + "/");
    TProductInfo rec = enginetest::Record(code, "/nonexistent/p.exe");
    ASSERT_TRUE(product.SetProductInfo(&rec, true));
    ASSERT_TRUE(product.SetProductInfo(&rec, true));
    // The package where a download puts it: the other user may put one there too.
    TUpdateInfo info;
    std::vector<enginetest::TZipEntry> entries = {{"setup.exe", RecorderScript(record), 0755}};
    ASSERT_FALSE(PlaceDownloadedPackage(dir.file("made.zip"), product.WorkFolder(), entries, "2.0", &info).empty());
    TProductInfo r = rec;
    r.update_info = &info;
    product.DoUpdate(r);
  }
  EXPECT_FALSE(qeltest::FileExists(base + "/P1/setup.exe")) << "nothing unpacked in the planted folder";
  EXPECT_FALSE(qeltest::FileExists(base + "/theirs/setup.exe")) << "nor through the link";
  EXPECT_FALSE(log.Contains("静默安装")) << log.All();
  EXPECT_FALSE(log.Contains("启动安装包")) << log.All();
  EXPECT_FALSE(log.Contains("下载失败")) << "nothing was downloaded, so no download failed: " << log.All();
  // Said once each, though three refreshes and an install looked at the folder.
  const std::string unusable = "工作目录不安全，不下载也不运行安装包：";
  std::string all = log.All();
  EXPECT_EQ(Count(all, unusable + base + "/P1，原因：目录属于其他用户（用户号65534）-->"), 1u) << all;
  EXPECT_EQ(Count(all, unusable + base + "/P2，原因：不是真实的目录"), 1u) << all;
  EXPECT_FALSE(qeltest::FileExists(record)) << "no installer ran";
}

// A zip whose three directory entries all read the one local entry, "setup.exe", as in the overlapping
// zip bombs Info-ZIP refuses.
const char kOverlapBomb[] = R"(import struct, sys, zipfile
path, script = sys.argv[1], open(sys.argv[2], 'rb').read()
with zipfile.ZipFile(path, 'w') as z:
    info = zipfile.ZipInfo('setup.exe', (2026, 1, 2, 3, 4, 6))
    info.create_system = 3
    info.external_attr = 0o100755 << 16
    z.writestr(info, script)
raw = open(path, 'rb').read()
end = raw.rindex(b'PK\x05\x06')
size, offset = struct.unpack('<II', raw[end + 12:end + 20])
one = raw[offset:offset + size]
many = one + one.replace(b'setup.exe', b'other.exe') + one.replace(b'setup.exe', b'third.exe')
open(path, 'wb').write(raw[:offset] + many + raw[end:end + 8] + struct.pack('<HHII', 3, 3, len(many), offset) +
                       raw[end + 20:])
)";

// The installer, then 64 MiB of zeros that deflate to some 64 KiB.
const char kSpaceBomb[] = R"(import sys, zipfile
path, script = sys.argv[1], open(sys.argv[2], 'rb').read()
def entry(name, mode):
    info = zipfile.ZipInfo(name, (2026, 1, 2, 3, 4, 6))
    info.create_system = 3
    info.external_attr = (0o100000 | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info
with zipfile.ZipFile(path, 'w') as z:
    z.writestr(entry('setup.exe', 0o755), script)
    with z.open(entry('big.bin', 0o644), 'w') as f:
        for _ in range(64):
            f.write(bytes(1 << 20))
)";

std::string RunPython(const std::string& script, const std::string& zip, const std::string& installer) {
  qeltest::WriteFile(zip + ".py", script);
  qeltest::WriteFile(zip + ".installer", installer);
  std::string out;
  EXPECT_EQ(qeltest::RunCommand("python3 '" + zip + ".py' '" + zip + "' '" + zip + ".installer'", &out), 0) << out;
  qeltest::RunCommand("md5sum '" + zip + "'", &out);
  std::string md5 = out.substr(0, 32);
  for (char& c : md5) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return md5;
}

TEST(WorkFolder, BombsAndFailedUnpacksLeaveTheWorkFolderAsItWas) {
  if (getuid() != 0 || qeltest::RunCommand("unshare -m true") != 0) GTEST_SKIP() << "needs a mount namespace";
  // Each product gets the answer named after its code.
  qeltest::NginxServer nginx("location = /checkVersionInfo.html { try_files /answers/$arg_product_code.json =404; }");
  ASSERT_TRUE(nginx.started());
  ASSERT_EQ(mkdir((nginx.DocRoot() + "/answers").c_str(), 0755), 0);
  enginetest::CHost host;
  std::string temp = host.dir.file("disk");
  ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
  std::vector<std::string> codes = {"P1", "P2", "P3"};
  std::string www = nginx.DocRoot();
  std::vector<std::string> md5s = {
      RunPython(kOverlapBomb, www + "/P1.zip", RecorderScript(host.dir.file("record-P1"))),
      RunPython(kSpaceBomb, www + "/P2.zip", RecorderScript(host.dir.file("record-P2"))),
      MakeZip(www + "/P3.zip", {{"setup.exe", RecorderScript(host.dir.file("record-P3")), 0755},
                                {"ok.txt", "fine"},
                                {"sub/new.txt", "new"},
                                {"keep.txt", "rewritten by a package that then fails"},
                                {"data.bin", "some data that will not check", 0644, 0, true}})};
  std::string out;
  ASSERT_NE(qeltest::RunCommand("unzip -t '" + www + "/P1.zip'", &out), 0) << "Info-ZIP refuses it too: " << out;

  std::string registry = "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"" +
                         nginx.Url("/checkVersionInfo.html") + "\"\r\n\r\n";
  std::string until;
  for (size_t i = 0; i < codes.size(); ++i) {
    const std::string& code = codes[i];
    ASSERT_EQ(md5s[i].size(), 32u) << code;
    nginx.AddFile("answers/" + code + ".json",
                  "{\"result\":\"success\",\"product_code\":\"" + code + "\",\"product_version\":\"2.0\",\"setup_url\":\"" +
                      nginx.Url("/" + code + ".zip") + "\",\"setup_md5\":\"" + md5s[i] + "\"}");
    registry += enginetest::ProductKey("HKEY_CURRENT_USER", code,
                                       "\"code\"=\"" + code + "\"\r\n\"current_version\"=\"1.0\"\r\n"
                                       "\"execute_file\"=\"/nonexistent/" + code + ".exe\"\r\n\"notify_type\"=\"0\"\r\n");
    until += (until.empty() ? "" : "|") + ("解压失败. 路径: " + temp + "/" + code + "/" + md5s[i] + ".zip");
  }
  qeltest::WriteFile(host.registry + "/HKEY_CURRENT_USER.reg", enginetest::Hive(registry));

  // What each work folder held before: a file of the product's own; P3 also the installer of an earlier
  // version, which must neither run nor go.
  std::string script = "set -e\nmount --make-rprivate /\nmount -t tmpfs -o size=8m,mode=0700 tmpfs '" + temp + "'\n";
  for (const std::string& code : codes)
    script += "mkdir -m 700 '" + temp + "/" + code + "'\necho kept > '" + temp + "/" + code + "/keep.txt'\n";
  qeltest::WriteFile(host.dir.file("old-setup"), RecorderScript(host.dir.file("record-old")));
  script += "cp '" + host.dir.file("old-setup") + "' '" + temp + "/P3/setup.exe' && chmod 755 '" + temp +
            "/P3/setup.exe'\n";
  script += "set +e\ncd / && env QEL_REGISTRY_DIR='" + host.registry + "' TMPDIR='" + temp + "' LD_LIBRARY_PATH='" +
            QEL_BIN_DIR + "' '" + host.dir.file("engine_host") + "' service '" + until + "' 60000\n" +
            "cd '" + temp + "' && find . | sort > '" + host.dir.file("listing") + "'\n" + "for c in P1 P2 P3; do cat $c/keep.txt; done > '" +
            host.dir.file("kept") + "'\ncat P3/setup.exe > '" + host.dir.file("setup-after") + "'\n";
  qeltest::WriteFile(host.dir.file("run.sh"), script);
  qeltest::RunCommand("unshare -m /bin/sh '" + host.dir.file("run.sh") + "'", &out);
  EXPECT_NE(out.find("SEEN"), std::string::npos) << out << host.Log();
  EXPECT_EQ(qeltest::ReadFile(host.dir.file("listing")),
            ".\n./P1\n./P1/keep.txt\n./P2\n./P2/keep.txt\n./P3\n./P3/keep.txt\n./P3/setup.exe\n")
      << host.Log();
  EXPECT_EQ(qeltest::ReadFile(host.dir.file("kept")), "kept\nkept\nkept\n") << "what a failed package replaced is back";
  EXPECT_EQ(qeltest::ReadFile(host.dir.file("setup-after")), qeltest::ReadFile(host.dir.file("old-setup")));
  for (const std::string& code : codes)
    EXPECT_FALSE(qeltest::FileExists(host.dir.file("record-" + code))) << code << ": no installer ran";
  EXPECT_FALSE(qeltest::FileExists(host.dir.file("record-old"))) << "nor the one of the earlier version";
}

}  // namespace
