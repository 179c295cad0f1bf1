// Process stand-ins: the snapshot and its executable names, opening processes, the detached start with
// its synchronous errors and closed descriptors, and the Windows command-line split.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qelplat/lasterror.h"
#include "qelplat/process.h"
#include "test_support.h"

namespace {

std::vector<PROCESSENTRY32> Snapshot() {
  std::vector<PROCESSENTRY32> entries;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return entries;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    entries.push_back(entry);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  CloseHandle(snapshot);
  return entries;
}

std::string NameInSnapshot(DWORD pid) {
  for (const PROCESSENTRY32& entry : Snapshot())
    if (entry.th32ProcessID == pid) return entry.szExeFile;
  return "<absent>";
}

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 6000 && !qeltest::FileExists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return qeltest::FileExists(path);
}

TEST(ProcessTest, SnapshotNamesExecutablesByFullFileNameEvenWhenDeleted) {
  qeltest::TempDir dir("process");
  // Longer than the 15 bytes the kernel keeps as a process's command name.
  std::string program = dir.file("a-rather-long-program-name.exe");
  qeltest::WriteFile(program, qeltest::ReadFile("/bin/sleep"));
  chmod(program.c_str(), 0755);
  qeltest::ChildProcess child({program, "600"});
  for (int i = 0; i < 6000 && NameInSnapshot(child.pid()) != "a-rather-long-program-name.exe"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(NameInSnapshot(child.pid()), "a-rather-long-program-name.exe");

  ASSERT_EQ(unlink(program.c_str()), 0);  // replaced by an installer, say: the name stays
  EXPECT_EQ(NameInSnapshot(child.pid()), "a-rather-long-program-name.exe");

  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(child.pid()));
  EXPECT_NE(process, nullptr);
  CloseHandle(process);
}

TEST(ProcessTest, OpenProcessRefusesMissingProcesses) {
  EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HANDLE self = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
  EXPECT_NE(self, nullptr);
  CloseHandle(self);
  EXPECT_EQ(CreateToolhelp32Snapshot(0, 0), INVALID_HANDLE_VALUE);
}

TEST(ProcessTest, StartFailuresAreReportedBeforeTheCallReturns) {
  qeltest::TempDir dir("process");
  std::string plain = dir.file("not-runnable");
  qeltest::WriteFile(plain, "just text\n");
  chmod(plain.c_str(), 0644);
  std::string garbage = dir.file("garbage.exe");
  qeltest::WriteFile(garbage, std::string(64, '\x7f'));
  chmod(garbage.c_str(), 0755);
  struct Case {
    std::string path;
    DWORD error;
  };
  std::vector<Case> cases = {
      {dir.file("missing.exe"), ERROR_FILE_NOT_FOUND},
      {dir.file("no-folder/missing.exe"), ERROR_PATH_NOT_FOUND},
      {dir.path(), ERROR_ACCESS_DENIED},
      {garbage, ERROR_BAD_EXE_FORMAT},
  };
  if (geteuid() != 0) cases.push_back({plain, ERROR_ACCESS_DENIED});
  for (const Case& c : cases) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    EXPECT_FALSE(CreateProcessA(c.path.c_str(), nullptr, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                                nullptr, &startup, &info))
        << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
}

TEST(ProcessTest, StartedProgramInheritsNoDescriptorAndRunsInItsOwnSession) {
  qeltest::TempDir dir("process");
  int inheritable = open("/dev/null", O_RDONLY);  // no close-on-exec: Windows would not hand it on either
  ASSERT_GE(inheritable, 0);
  std::string out = dir.file("fds");
  std::string command = "sh -c \"ls /proc/$$/fd > '" + out + ".tmp'; ps -o sid= -p $$ >> '" + out +
                        ".tmp'; mv '" + out + ".tmp' '" + out + "'\"";
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessA("/bin/sh", line.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                             dir.path().c_str(), &startup, &info));
  EXPECT_NE(info.dwProcessId, 0u);
  EXPECT_TRUE(CloseHandle(info.hProcess));
  EXPECT_TRUE(CloseHandle(info.hThread));
  ASSERT_TRUE(WaitForFile(out));
  std::string text = qeltest::ReadFile(out);
  // The shell's own descriptors and the one ls opens for the listing; never ours.
  // Whole lines only: fd 5 must not match the shell's own 255.
  EXPECT_EQ(("\n" + text).find("\n" + std::to_string(inheritable) + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find(std::to_string(info.dwProcessId)), std::string::npos) << "own session: " << text;
  close(inheritable);
}

TEST(ProcessTest, ProcessListAndModuleNamesTheWindowsWay) {
  qeltest::TempDir dir("process");
  std::string program = dir.file("Module Name é.exe");
  qeltest::WriteFile(program, qeltest::ReadFile("/bin/sleep"));
  chmod(program.c_str(), 0755);
  qeltest::ChildProcess child({program, "600"});
  DWORD pid = static_cast<DWORD>(child.pid());

  // A buffer that is too small is filled and says so only by being full.
  DWORD two[2] = {};
  DWORD needed = 0;
  ASSERT_TRUE(EnumProcesses(two, sizeof two, &needed));
  EXPECT_EQ(needed, sizeof two);
  EXPECT_LT(two[0], two[1]);
  std::vector<DWORD> ids(1 << 16);
  ASSERT_TRUE(EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &needed));
  ids.resize(needed / sizeof(DWORD));
  EXPECT_NE(std::find(ids.begin(), ids.end(), pid), ids.end());

  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  ASSERT_NE(process, nullptr);
  HMODULE module = nullptr;
  ASSERT_TRUE(EnumProcessModules(process, &module, sizeof module, &needed));
  EXPECT_EQ(needed, sizeof(HMODULE));
  char name[500] = "<unknown>";
  EXPECT_EQ(GetModuleBaseNameA(process, module, name, sizeof name), strlen("Module Name é.exe"));
  EXPECT_STREQ(name, "Module Name é.exe");
  EXPECT_EQ(GetModuleFileNameExA(process, nullptr, name, sizeof name), program.size());
  EXPECT_EQ(name, program);
  EXPECT_EQ(GetModuleBaseNameA(process, module, name, 7), 6u) << "cut and terminated";
  EXPECT_STREQ(name, "Module");

  child.Stop(9);
  EXPECT_EQ(GetModuleFileNameExA(process, module, name, sizeof name), 0u) << "the process has gone";
  EXPECT_FALSE(EnumProcessModules(process, &module, sizeof module, &needed));
  EXPECT_TRUE(CloseHandle(process));
  EXPECT_EQ(GetModuleBaseNameA(process, module, name, sizeof name), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(ProcessTest, CommandLineSplitsTheWindowsWay) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"", {}},
      {"  a  b\tc ", {"a", "b", "c"}},
      {"\"C:\\Program Files\\x.exe\" /verysilent /norestart", {"C:\\Program Files\\x.exe", "/verysilent", "/norestart"}},
      {"a\\\\b \\\"q\\\" \"x\\\\\" y", {"a\\\\b", "\"q\"", "x\\", "y"}},
      {"\"open ended", {"open ended"}},
      {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {"ab\"c d\"e", {"abc de"}},
  };
  for (const Case& c : cases) EXPECT_EQ(qelplat::SplitCommandLine(c.line), c.args) << c.line;
}

}  // namespace
