// The installed layout: `cmake --install` to a fresh prefix gives the programs, their libraries, qelcmd,
// the skin and the sample log configuration side by side, an autostart entry that starts the installed
// watchdog, and nothing else; the installed client runs from a read-only prefix and logs to the user's
// state folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "nginx_server.h"
#include "test_support.h"

namespace {

const unsigned kNobody = 65534;

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The value of a key of the entry's group, with the escapes of a string value undone; "-" when absent.
std::string EntryValue(const std::string& entry, const std::string& key) {
  for (const std::string& line : Lines(entry)) {
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string value;
    for (size_t i = key.size() + 1; i < line.size(); ++i) {
      if (line[i] != '\\' || i + 1 == line.size()) {
        value += line[i];
        continue;
      }
      char next = line[++i];
      value += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
    }
    return value;
  }
  return "-";
}

// The program an Exec value starts: its first argument, quoted or not, with the quoting undone.
std::string ExecProgram(const std::string& exec) {
  std::string program;
  if (exec.empty() || exec[0] != '"') return exec.substr(0, exec.find(' '));
  for (size_t i = 1; i < exec.size(); ++i) {
    if (exec[i] == '"') return program;
    if (exec[i] == '\\' && i + 1 < exec.size()) ++i;
    program += exec[i];
  }
  return "unterminated: " + exec;
}

class Installed : public ::testing::Test {
 protected:
  void SetUp() override {
    // Others (the user the client runs as) pass through the test's folder.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string out;
    ASSERT_EQ(qeltest::RunCommand(std::string(QEL_CMAKE_COMMAND) + " --install " + Quote(QEL_BUILD_DIR) +
                                      " --prefix " + Quote(prefix),
                                  &out),
              0)
        << out;
  }

  // Every file below the prefix, relative to it, sorted.
  std::vector<std::string> Files() {
    std::string out;
    qeltest::RunCommand("cd " + Quote(prefix) + " && find . ! -type d -printf '%P\\n' | sort", &out);
    return Lines(out);
  }

  // Name, size, modification time and mode of everything below the prefix.
  std::string Snapshot() {
    std::string out;
    qeltest::RunCommand("cd " + Quote(prefix) + " && find . -printf '%P %s %T@ %m %u\\n' | sort", &out);
    return out;
  }

  // A folder the client's user owns, closed to others.
  std::string OwnFolder(const std::string& name) {
    std::string path = dir.file(name);
    mkdir(path.c_str(), 0700);
    if (getuid() == 0 && chown(path.c_str(), kNobody, kNobody) != 0) ADD_FAILURE() << "chown " << path;
    return path;
  }

  qeltest::TempDir dir{"install"};
  // A space and a dollar sign, which the autostart entry must quote.
  std::string prefix = dir.file("pre fix$1");
  std::string programs = prefix + "/" + QEL_INSTALL_DIR;
};

TEST_F(Installed, ProgramsLibrariesSkinAndConfigurationLieSideBySideAndNothingElse) {
  std::vector<std::string> expected = {
      std::string(QEL_AUTOSTART_DIR) + "/qel-update.desktop",
  };
  for (const char* name : {"Tavrin.exe", "TavrinDaemon.exe", "qelcmd", "libQelTools.so", "libQelUpdate.so",
                           "libQelCompress.so", "log4cxx.properties"})
    expected.push_back(std::string(QEL_INSTALL_DIR) + "/" + name);
  std::string skin;
  qeltest::RunCommand("cd " + Quote(std::string(QEL_SOURCE_DIR) + "/client/Skin") + " && find . -type f -printf '%P\\n'",
                      &skin);
  ASSERT_FALSE(skin.empty());
  for (const std::string& name : Lines(skin)) expected.push_back(std::string(QEL_INSTALL_DIR) + "/Skin/" + name);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Files(), expected) << "no test program, benchmark or static library is installed";
  for (const char* program : {"Tavrin.exe", "TavrinDaemon.exe", "qelcmd"})
    EXPECT_EQ(access((programs + "/" + program).c_str(), X_OK), 0) << program;
  std::string sample = qeltest::ReadFile(programs + "/log4cxx.properties");
  EXPECT_NE(sample.find("=${QEL_LOG_DIR}/Tavrin.log\n"), std::string::npos) << sample;
  // The programs find their libraries beside themselves, whatever the loader is told.
  std::string out;
  EXPECT_EQ(qeltest::RunCommand("env -u LD_LIBRARY_PATH ldd " + Quote(programs + "/Tavrin.exe"), &out), 0);
  EXPECT_NE(out.find("libQelUpdate.so => " + programs + "/"), std::string::npos) << out;
  EXPECT_EQ(out.find("not found"), std::string::npos) << out;
}

TEST_F(Installed, TheAutostartEntryStartsTheInstalledWatchdog) {
  std::string entry = qeltest::ReadFile(prefix + "/" + QEL_AUTOSTART_DIR + "/qel-update.desktop");
  ASSERT_FALSE(Lines(entry).empty());
  EXPECT_EQ(Lines(entry)[0], "[Desktop Entry]");
  EXPECT_EQ(EntryValue(entry, "Type"), "Application");
  std::string daemon = programs + "/TavrinDaemon.exe";
  EXPECT_EQ(ExecProgram(EntryValue(entry, "Exec")), daemon) << entry;
  EXPECT_EQ(EntryValue(entry, "TryExec"), daemon) << entry;
  EXPECT_EQ(access(daemon.c_str(), X_OK), 0);
}

TEST_F(Installed, TheClientRunsFromAReadOnlyPrefixAndLogsToTheStateFolder) {
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  nginx.AddFile("checkVersionInfo.html",
                "{\"result\":\"success\",\"product_code\":\"EDITOR\",\"product_name\":\"Editor\","
                "\"product_version\":\"1.1\",\"update_time\":\"2026-12-01\",\"update_description\":\"one#two\","
                "\"setup_url\":\"" + nginx.Url("/editor.zip") + "\",\"setup_md5\":\"0123456789ABCDEF0123456789ABCDEF\","
                "\"update_url\":\"\",\"update_md5\":\"\",\"update_type\":0}");
  std::string registry = dir.file("registry");
  ASSERT_EQ(mkdir(registry.c_str(), 0755), 0);
  qeltest::WriteFile(registry + "/HKEY_CURRENT_USER.reg",
                     "Windows Registry Editor Version 5.00\r\n\r\n"
                     "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n\"server\"=\"" + nginx.Url("/checkVersionInfo.html") +
                         "\"\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin\\ProductList\\Editor]\r\n"
                         "\"code\"=\"EDITOR\"\r\n\"name\"=\"Editor\"\r\n\"current_version\"=\"1.0\"\r\n"
                         "\"execute_file\"=\"/opt/editor/editor\"\r\n\"notify_type\"=\"1\"\r\n");
  std::string state = OwnFolder("state");
  std::string cache = OwnFolder("cache");
  std::string temp = OwnFolder("temp");
  ASSERT_EQ(qeltest::RunCommand("chmod -R a-w " + Quote(prefix)), 0);
  std::string before = Snapshot();

  std::vector<std::string> argv;
  // Root writes through any permission: the client runs as an ordinary user, as it would at login.
  if (getuid() == 0) argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  for (const std::string& arg :
       {std::string("env"), std::string("-i"), std::string("HOME=/nonexistent"), std::string("PATH=/usr/bin:/bin"),
        "XDG_STATE_HOME=" + state, "XDG_CACHE_HOME=" + cache, "TMPDIR=" + temp, "QEL_REGISTRY_DIR=" + registry,
        // log4cxx 1.0 frees a rolling appender's policy through the wrong type when it replaces the appender;
        // a fault of the library's, which the sanitizer build would stop at.
        std::string("ASAN_OPTIONS=new_delete_type_mismatch=0"), programs + "/Tavrin.exe"})
    argv.push_back(arg);
  qeltest::ChildProcess client(argv, dir.file("client.out"));
  std::string log = state + "/qel/Tavrin.log";
  std::string unshown = "[WARN] 没有可用的显示，无法显示升级提示：产品名称：Editor，版本：1.0->1.1";
  bool logged = qeltest::WaitUntil(
      [&] { return qeltest::FileExists(log) && qeltest::ReadFile(log).find(unshown) != std::string::npos; },
      std::chrono::seconds(60));
  EXPECT_TRUE(client.running()) << qeltest::ReadFile(dir.file("client.out"));
  client.Stop(SIGKILL);
  ASSERT_TRUE(logged) << (qeltest::FileExists(log) ? qeltest::ReadFile(log) : "no log")
                      << qeltest::ReadFile(dir.file("client.out"));
  std::string text = qeltest::ReadFile(log);
  EXPECT_NE(text.find("[INFO] 读取注册表文件：" + registry + "/HKEY_CURRENT_USER.reg（HKEY_CURRENT_USER）-->"),
            std::string::npos) << text;
  EXPECT_NE(text.find("[INFO] 产品EDITOR检查更新\n"), std::string::npos) << text;
  EXPECT_EQ(Snapshot(), before) << "nothing is written below the prefix";
  struct stat st;
  ASSERT_EQ(stat((state + "/qel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, getuid() == 0 ? kNobody : getuid());
}

}  // namespace
