// Opening files the shell's way and the command interpreter qelcmd: scripts through their interpreter,
// batch files through qelcmd with "%%", the Windows split of the parameters, the errors Windows gives, and
// the refusal of every command this system does not write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "qelplat/lasterror.h"
#include "qelplat/process.h"
#include "qelplat/shell.h"
#include "test_support.h"

namespace {

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 3000 && !qeltest::FileExists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return qeltest::FileExists(path);
}

// A script that writes its working folder and then each argument in brackets to record, atomically.
void WriteRecorder(const std::string& script, const std::string& record, mode_t mode) {
  qeltest::WriteFile(script, "#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"[$a]\"; done; } > '" + record +
                                 ".tmp' && mv '" + record + ".tmp' '" + record + "'\n");
  chmod(script.c_str(), mode);
}

// A copy of sleep under a name of the test's choosing, so only the test's own processes carry it.
std::string ProgramNamed(const qeltest::TempDir& dir, const std::string& name) {
  std::string path = dir.file(name);
  qeltest::WriteFile(path, qeltest::ReadFile("/bin/sleep"));
  chmod(path.c_str(), 0755);
  return path;
}

SHELLEXECUTEINFOA OpenInfo(const std::string& file, const char* parameters) {
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = "open";
  info.lpFile = file.c_str();
  info.lpParameters = parameters;
  return info;
}

// qelcmd is found beside the programs; the test binary lives elsewhere, so PATH leads to it.
class Shell : public ::testing::Test {
 protected:
  Shell() : path_("PATH", (std::string(QEL_BIN_DIR) + ":" + getenv("PATH")).c_str()) {}
  qeltest::TempDir dir{"shell"};

 private:
  qeltest::EnvGuard path_;
};

TEST_F(Shell, ScriptWithoutRunBitStartsThroughItsInterpreterWithWindowsSplitParameters) {
  std::string record = dir.file("record");
  std::string script = dir.file("setup.exe");
  WriteRecorder(script, record, 0644);
  SHELLEXECUTEINFOA info = OpenInfo(script, " /verysilent /norestart \"two words\"");
  info.lpDirectory = "/";
  ASSERT_TRUE(ShellExecuteExA(&info)) << GetLastError();
  EXPECT_GT(reinterpret_cast<uintptr_t>(info.hInstApp), 32u);
  ASSERT_NE(info.hProcess, nullptr);
  EXPECT_TRUE(CloseHandle(info.hProcess));
  ASSERT_TRUE(WaitForFile(record));
  EXPECT_EQ(qeltest::ReadFile(record), "/\n[/verysilent]\n[/norestart]\n[two words]\n");

  // No folder given: the caller's; no parameters: none; without the mask no handle comes back.
  unlink(record.c_str());
  chmod(script.c_str(), 0755);
  info = OpenInfo(script, nullptr);
  info.fMask = 0;
  info.lpVerb = nullptr;
  ASSERT_TRUE(ShellExecuteExA(&info));
  EXPECT_EQ(info.hProcess, nullptr);
  ASSERT_TRUE(WaitForFile(record));
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(qeltest::ReadFile(record), std::string(cwd) + "\n");
}

TEST_F(Shell, FailuresCarryTheWindowsNumbers) {
  qeltest::WriteFile(dir.file("plain.txt"), "no interpreter line\n");
  struct Case {
    std::string file;
    const char* verb;
    DWORD error;
  };
  const Case cases[] = {
      {dir.file("missing.exe"), "open", ERROR_FILE_NOT_FOUND},
      {dir.file("no-folder/missing.exe"), "open", ERROR_PATH_NOT_FOUND},
      {dir.path(), "open", ERROR_ACCESS_DENIED},
      {dir.file("plain.txt"), "print", 1155},
      {"", "open", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SHELLEXECUTEINFOA info = OpenInfo(c.file, nullptr);
    info.lpVerb = c.verb;
    EXPECT_FALSE(ShellExecuteExA(&info)) << c.file;
    EXPECT_EQ(GetLastError(), c.error) << c.file;
    EXPECT_LE(reinterpret_cast<uintptr_t>(info.hInstApp), 32u);
    EXPECT_EQ(info.hProcess, nullptr);
  }
  SHELLEXECUTEINFOA wrongSize = OpenInfo(dir.file("plain.txt"), nullptr);
  wrongSize.cbSize = 60 + 4;
  EXPECT_FALSE(ShellExecuteExA(&wrongSize));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Shell, BatchFileEndsProcessesByImageNameThenStartsAPathHoldingPercent) {
  // A folder with "%" and a blank, as a user's temporary folder may have.
  std::string folder = dir.file("50% off");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  std::string record = folder + "/record";
  std::string installer = folder + "/setup.exe";
  WriteRecorder(installer, record, 0755);
  std::string product = ProgramNamed(dir, "Shell Victim é.exe");
  qeltest::ChildProcess victim({product, "600"});
  qeltest::ChildProcess bystander({ProgramNamed(dir, "shell-bystander.exe"), "600"});

  std::string percentPath;
  for (char c : installer) percentPath += c == '%' ? std::string("%%") : std::string(1, c);
  std::string batch = dir.file("Update.BAT");
  qeltest::WriteFile(batch, "taskkill /F /IM \"shell VICTIM é.exe\"\r\n\r\nstart \"\" \"" + percentPath + "\"");
  SHELLEXECUTEINFOA info = OpenInfo(batch, " /verysilent /norestart");
  ASSERT_TRUE(ShellExecuteExA(&info)) << GetLastError();
  CloseHandle(info.hProcess);

  ASSERT_TRUE(WaitForFile(record));
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(qeltest::ReadFile(record), std::string(cwd) + "\n") << "the installer gets no arguments";
  EXPECT_EQ(victim.Wait(std::chrono::seconds(10)), 128 + 9);
  EXPECT_TRUE(bystander.running());
}

TEST_F(Shell, InterpreterKillsByImageNameAndRefusesEverythingElse) {
  std::string product = ProgramNamed(dir, "Qel Victim é.exe");
  qeltest::ChildProcess victim({product, "600"});
  qeltest::ChildProcess bystander({ProgramNamed(dir, "qel-bystander.exe"), "600"});
  // ASCII letters compare without case; other letters are bytes of the file name, as they stand.
  EXPECT_EQ(qelplat::RunSystemCommand("taskkill /F /IM \"Qel Victim É.exe\""), 128);
  EXPECT_EQ(qelplat::RunSystemCommand("taskkill  /F /IM \"qel victim é.EXE\""), 0);
  EXPECT_EQ(victim.Wait(std::chrono::seconds(10)), 128 + 9);
  EXPECT_TRUE(bystander.running());
  EXPECT_EQ(qelplat::RunSystemCommand("taskkill /F /IM \"Qel Victim é.exe\""), 128) << "nothing left to end";

  const char* refused[] = {
      "echo hi > x",
      "del /q *",
      "taskkill /F /IM qel-*",
      "taskkill /F",
      "taskkill /F /IM a /T",
      "start /b \"\" /bin/true",
      "start \"title only\"",
      "qel-bystander.exe; rm -rf /",
  };
  for (const char* line : refused) EXPECT_NE(qelplat::RunSystemCommand(line), 0) << line;
  EXPECT_EQ(qelplat::RunCommandLine("echo hi"), qelplat::kUnknownCommand);
  EXPECT_TRUE(bystander.running());
  EXPECT_FALSE(qeltest::FileExists("x"));
  EXPECT_NE(qelplat::RunSystemCommand(nullptr), 0) << "an interpreter is there";
}

// A program just unpacked is held open for writing, for a moment, by every copy of the process that another
// thread forked meanwhile: its start meets ETXTBSY and tries again.
TEST_F(Shell, AStartThatMeetsItsProgramBusyTriesAgain) {
  std::string record = dir.file("record");
  WriteRecorder(dir.file("setup.exe"), record, 0755);
  qeltest::WriteFile(dir.file("start.bat"), "start \"\" \"" + dir.file("setup.exe") + "\" once\r\n");
  std::string busy = dir.file("busy.log");
  std::string output;
  int status = qeltest::RunCommand("cd '" + dir.path() + "' && env LD_PRELOAD='" + QEL_TEST_BIN_DIR +
                                       "/libexec_busy_shim.so' QEL_BUSY_EXEC_SUFFIX=/setup.exe QEL_BUSY_EXEC_LOG='" +
                                       busy + "' '" + QEL_BIN_DIR + "/qelcmd' start.bat",
                                   &output);
  EXPECT_EQ(status, 0) << output;
  ASSERT_TRUE(WaitForFile(record)) << output;
  EXPECT_EQ(qeltest::ReadFile(record), dir.path() + "\n[once]\n");
  EXPECT_EQ(qeltest::ReadFile(busy), "x") << "the start met its program busy once";
}

TEST_F(Shell, QelcmdRunsBatchLinesAndReportsWhatItRefuses) {
  std::string qelcmd = std::string(QEL_BIN_DIR) + "/qelcmd";
  std::string record = dir.file("record");
  WriteRecorder(dir.file("setup.exe"), record, 0644);
  qeltest::WriteFile(dir.file("mixed.bat"), "echo %PATH%\nrem a remark\r\nstart \"\" \"" + dir.file("setup.exe") +
                                                "\" a%%b \"c d\"\n");
  std::string output;
  int status = qeltest::RunCommand("cd '" + dir.path() + "' && '" + qelcmd + "' mixed.bat", &output);
  EXPECT_EQ(status, 0) << "the last line ran: " << output;
  EXPECT_NE(output.find("variables are not supported: echo %PATH%"), std::string::npos) << output;
  EXPECT_NE(output.find("not a command this interpreter runs: rem a remark"), std::string::npos) << output;
  ASSERT_TRUE(WaitForFile(record));
  EXPECT_EQ(qeltest::ReadFile(record), dir.path() + "\n[a%b]\n[c d]\n");

  // A copy under a name of its own asks to end its own image: the interpreter never ends itself.
  std::string copy = dir.file("qelcmd-self-test");
  qeltest::WriteFile(copy, qeltest::ReadFile(qelcmd));
  chmod(copy.c_str(), 0755);
  EXPECT_EQ(qeltest::RunCommand("'" + copy + "' /c taskkill /F /IM qelcmd-self-test", &output), 128) << output;
  EXPECT_EQ(qeltest::RunCommand("'" + qelcmd + "' /c format c:", &output), 1) << output;
  EXPECT_EQ(qeltest::RunCommand("'" + qelcmd + "' " + dir.file("absent.bat"), &output), 1) << output;
  EXPECT_EQ(qeltest::RunCommand("'" + qelcmd + "'", &output), 1) << output;
}

}  // namespace
