// The client kept alive by its watchdog: the client updating itself (its batch file ends it through qelcmd,
// the installer replaces it, the watchdog starts the new one) and the client killed outright. Both run in a
// process namespace of their own: the batch ends every Tavrin.exe it can see, and the watchdog takes any
// Tavrin.exe for its client.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "e2e_support.h"
#include "nginx_server.h"

namespace {

using e2e::CInstalledSystem;
using e2e::CSandbox;
using e2e::ShellQuote;

const char kNeedsNamespace[] =
    "needs a PID namespace (unshare -p): the self-update ends every Tavrin.exe it can see, and the watchdog "
    "counts any Tavrin.exe as its client";

std::string Diagnosis(const CInstalledSystem& system) {
  std::string files;
  for (const std::string& file : system.Files()) files += file + "\n";
  std::string processes;
  qeltest::RunCommand("ps -eo pid,ppid,stat,args | grep -F " + ShellQuote(system.dir.path()) + " | grep -v grep",
                      &processes);
  return "\n--- log\n" + system.Log() + "\n--- programs\n" + qeltest::ReadFile(system.ProgramOutput()) +
         "\n--- files\n" + files + "--- processes\n" + processes;
}

// The watchdog's process id, once no start of a client is under way: a start is a copy of the watchdog
// (the middle process of its double fork) until it has ended, which may be after the client runs. 0 when
// that never happens.
pid_t OnlyDaemon(const CInstalledSystem& system) {
  std::vector<pid_t> daemons;
  e2e::WaitFor([&] {
    daemons = e2e::ProcessesOf(system.Daemon());
    return daemons.size() == 1;
  });
  return daemons.size() == 1 ? daemons[0] : 0;
}

TEST(ClientLifecycle, TheClientUpdatesItselfAndTheWatchdogStartsTheNewOne) {
  if (!CSandbox::Available()) GTEST_SKIP() << kNeedsNamespace;
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  CInstalledSystem system;
  std::string client = system.Client();
  std::string registry = system.RegistryFolder() + "/HKEY_CURRENT_USER.reg";
  std::string record = system.Record("setup");
  const std::string marker = "\nnew client 1.1\n";

  // The package carries the new client. Its installer puts it in place of the old one, records the new
  // version as installers do, and ends a client that the watchdog may have started from the old file in
  // the meantime, so that only the new one can run afterwards.
  std::string replace =
      "set -e\nhere=$(cd \"$(dirname \"$0\")\" && pwd)\n"
      "cp \"$here/files/Tavrin.exe\" " + ShellQuote(client + ".new") + "\n"
      "chmod 755 " + ShellQuote(client + ".new") + "\n"
      "mv -f " + ShellQuote(client + ".new") + " " + ShellQuote(client) + "\n"
      "sed -i 's/\"current_version\"=\"1.0\"/\"current_version\"=\"1.1\"/' " + ShellQuote(registry) + "\n"
      "for p in /proc/[0-9]*; do\n"
      "  if [ \"$(readlink \"$p/exe\")\" = " + ShellQuote(client + " (deleted)") + " ]; then\n"
      "    kill -9 \"${p#/proc/}\" || true\n"
      "  fi\n"
      "done\n";
  std::string md5 = e2e::MakeZip(nginx.DocRoot() + "/client.zip",
                                 {{"setup.exe", e2e::Installer(record, replace), 0755},
                                  {"files/Tavrin.exe", marker, 0755, client}});
  ASSERT_EQ(md5.size(), 32u);
  nginx.AddFile("checkVersionInfo.html", e2e::CheckAnswer("TV", "1.1", nginx.Url("/client.zip"), md5));
  e2e::TProduct self{"TV", client};
  self.notifyType = 0;
  system.WriteRegistry(nginx.Url("/checkVersionInfo.html"), {self});

  CSandbox sandbox(system, {"exec ./TavrinDaemon.exe"});
  ASSERT_TRUE(e2e::WaitFor([&] { return !e2e::ProcessesOf(client).empty(); })) << Diagnosis(system);
  pid_t first = e2e::ProcessesOf(client).front();
  pid_t daemon = OnlyDaemon(system);
  ASSERT_GT(daemon, 0);

  ASSERT_TRUE(e2e::WaitFor([&] { return qeltest::FileExists(record); }, std::chrono::seconds(60)))
      << Diagnosis(system);
  // The end state: one client, running the new file, which checked and found itself current.
  bool settled = e2e::WaitFor([&] {
    std::vector<pid_t> clients = e2e::ProcessesOf(client);
    return clients.size() == 1 && clients[0] != first && e2e::RunsCurrentFile(clients[0], client) &&
           system.LogCount("产品TV无更新") > 0;
  }, std::chrono::seconds(60));
  ASSERT_TRUE(settled) << Diagnosis(system);

  std::string installed = qeltest::ReadFile(client);
  ASSERT_GT(installed.size(), marker.size());
  EXPECT_EQ(installed.substr(installed.size() - marker.size()), marker) << "the package's client is in place";
  std::vector<pid_t> daemons = e2e::ProcessesOf(system.Daemon());
  EXPECT_NE(std::find(daemons.begin(), daemons.end(), daemon), daemons.end()) << "the watchdog runs on";
  EXPECT_NE(qeltest::ReadFile(registry).find("\"current_version\"=\"1.1\""), std::string::npos);
  std::string work = system.WorkFolder("TV");
  EXPECT_EQ(qeltest::ReadFile(work + "/SelfUpdate.bat"),
            "taskkill /F /IM Tavrin.exe\r\nstart \"\" \"" + work + "/setup.exe\"");
  EXPECT_GE(system.LogCount("更新客户端自升级-->"), 1u) << Diagnosis(system);
  EXPECT_EQ(system.LogCount("关闭进程"), 0u) << "the engine never ends its own host itself";
  // Each installer run was started by the batch file without arguments, from the client's folder.
  std::istringstream runs(qeltest::ReadFile(record));
  for (std::string line; std::getline(runs, line);) EXPECT_EQ(line, system.Bin());
}

TEST(ClientLifecycle, TheWatchdogRestartsAKilledClient) {
  if (!CSandbox::Available()) GTEST_SKIP() << kNeedsNamespace;
  qeltest::NginxServer nginx;
  ASSERT_TRUE(nginx.started());
  CInstalledSystem system;
  std::string client = system.Client();
  // The server names the installed version: every client that starts checks once and finds nothing new.
  nginx.AddFile("checkVersionInfo.html",
                e2e::CheckAnswer("WD", "1.0", nginx.Url("/none.zip"), "0123456789ABCDEF0123456789ABCDEF"));
  system.WriteRegistry(nginx.Url("/checkVersionInfo.html"), {{"WD", system.MakeProduct("Watched.exe")}});

  CSandbox sandbox(system, {"exec ./TavrinDaemon.exe"});
  ASSERT_TRUE(e2e::WaitFor([&] { return !e2e::ProcessesOf(client).empty(); })) << Diagnosis(system);
  ASSERT_TRUE(system.WaitForLog("产品WD无更新")) << Diagnosis(system);
  pid_t daemon = OnlyDaemon(system);
  ASSERT_GT(daemon, 0);
  std::vector<pid_t> clients = e2e::ProcessesOf(client);
  ASSERT_EQ(clients.size(), 1u);

  ASSERT_EQ(kill(clients[0], SIGKILL), 0);
  // The client that the watchdog starts stays and checks.
  bool restarted = e2e::WaitFor([&] {
    std::vector<pid_t> now = e2e::ProcessesOf(client);
    return now.size() == 1 && now[0] != clients[0] && system.LogCount("产品WD无更新") >= 2;
  });
  ASSERT_TRUE(restarted) << "no new client that checked" << Diagnosis(system);
  std::vector<pid_t> daemons = e2e::ProcessesOf(system.Daemon());
  EXPECT_NE(std::find(daemons.begin(), daemons.end(), daemon), daemons.end()) << "the watchdog runs on";
}

}  // namespace
