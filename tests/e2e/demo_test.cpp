// scripts/demo as a new user runs it without a display (the build already done): it must finish the whole
// update, tell it, keep only its log, note and screenshot, and leave nothing running. It runs inside a
// process namespace of its own, whose first process lists what is still alive once the demo has ended; the
// namespace also keeps other tests' Tavrin.exe out of sight of the demo's watchdog.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "xvfb.h"

namespace {

using e2e::ShellQuote;

TEST(Demo, RunsHeadlessTellsTheWholeUpdateAndLeavesNothingRunning) {
  if (qeltest::FindProgram("Xvfb").empty()) GTEST_SKIP() << "Xvfb not available";
  if (!e2e::CSandbox::Available())
    GTEST_SKIP() << "needs a PID namespace (unshare -p): the demo's watchdog counts any Tavrin.exe as its client, "
                    "other tests' too";
  qeltest::TempDir dir("e2edemo");
  std::string demo = dir.file("demo");
  std::string output = dir.file("demo.out");
  std::string status = dir.file("status");
  std::string leftovers = dir.file("leftovers");
  // The demo, then every process of the namespace but this shell; ended processes that this shell has not
  // reaped yet count as gone (state Z).
  std::string script =
      "env -u DISPLAY QEL_DEMO_NO_BUILD=1 QEL_BUILD_DIR=" + ShellQuote(QEL_BUILD_DIR) + " QEL_DEMO_DIR=" +
      ShellQuote(demo) + " bash " + ShellQuote(std::string(QEL_SOURCE_DIR) + "/scripts/demo") + " </dev/null >" +
      ShellQuote(output) + " 2>&1\necho $? >" + ShellQuote(status) + "\n: >" + ShellQuote(leftovers) +
      "\nfor d in /proc/[0-9]*; do\n"
      "  [ \"${d#/proc/}\" = \"$$\" ] && continue\n"
      "  read -r stat 2>/dev/null <\"$d/stat\" || continue\n"
      "  rest=${stat##*\") \"}\n"
      "  [ \"${rest%% *}\" = Z ] && continue\n"
      "  echo \"$stat\" >>" + ShellQuote(leftovers) + "\n"
      "done\n";
  qeltest::WriteFile(dir.file("run.sh"), script);
  qeltest::RunCommand("unshare -p -f --mount-proc /bin/sh " + ShellQuote(dir.file("run.sh")));

  std::string told = qeltest::ReadFile(output);
  ASSERT_EQ(qeltest::ReadFile(status), "0\n") << told;
  for (const char* text : {"1. Check", "[INFO] 产品DEMO检查更新", "2. Download", "] 100%  ", "3. Verification",
                           "校验通过,文件MD5值：", "产品DEMO下载文件完成", "4. Consent",
                           "the demo pressed 立即更新 (update now) with xdotool", "产品DEMO正常安装更新到1.1.0版本",
                           "5. Product closed", "关闭进程，进程文件", "killed, exit status 137", "6. Unpacked",
                           "editor.dat readme.txt setup.exe", "7. Installer started", "启动安装包成功",
                           "with arguments: none", "8. New version", "\"current_version\"=\"1.1.0\"",
                           "产品DEMO无更新", "screenshot: " })
    EXPECT_NE(told.find(text), std::string::npos) << "missing \"" << text << "\" in:\n" << told;
  EXPECT_EQ(told.find("-->file:"), std::string::npos) << "log lines are quoted without their source suffix";
  EXPECT_EQ(told.find("(no log line"), std::string::npos) << told;

  std::string listing;
  qeltest::RunCommand("ls -A " + ShellQuote(demo), &listing);
  EXPECT_EQ(listing, ".qel-demo\nTavrin.log\ninstalled.txt\nprompt.png\n");
  // The screenshot holds the prompt, its caption band in the skin's colour.
  std::string size;
  qeltest::RunCommand("identify -format '%wx%h' " + ShellQuote(demo + "/prompt.png"), &size);
  e2e::TPoint prompt = e2e::PromptSize(std::string(QEL_BUILD_DIR) + "/bin");
  EXPECT_EQ(size, std::to_string(prompt.x) + "x" + std::to_string(prompt.y));
  EXPECT_EQ(qeltest::PixelAt(demo + "/prompt.png", 100, 4), "43,108,196");

  EXPECT_EQ(qeltest::ReadFile(leftovers), "") << "still running after the demo ended";
}

}  // namespace
