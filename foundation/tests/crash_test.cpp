// The crash handler from a product's side: crash_host installs QEL::CExceptHandle as its filter and crashes
// (null write, division by zero, illegal instruction, abort, stack overflow, two threads at once, a function
// with a 2048-character name). Each run is checked for the errlog.txt block (layout, code, the program's own
// functions, files and lines), the dump's name and folder, a dump that gdb opens at the crashing function,
// and a process that ends by its signal. The debug-help stand-ins are also driven directly on the test
// process (a dump of a live process, refused arguments).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem.hpp>

#include "qelplat/dbghelp.h"
#include "qelplat/dynlib.h"
#include "qelplat/fileio.h"
#include "qelplat/handle.h"
#include "qelplat/lasterror.h"
#include "qelplat/process.h"
#include "qelplat/thread.h"
#include "test_support.h"

namespace {

const char kHostSource[] = QEL_SOURCE_DIR "/foundation/tests/crash_host.cpp";

struct Frame {
  std::string function;
  std::string module;
  std::string file;
  std::string line;
};

struct Block {
  std::string time;
  std::string code;
  std::string address;
  std::string flags;
  std::vector<Frame> frames;
};

struct Dump {
  std::string path;
  std::string stamp;  // YYYYMMDD-hhmmss
  long pid;
  long tid;
};

struct CrashRun {
  int exitCode = -1;
  long pid = 0;
  std::vector<Block> blocks;
  std::vector<Dump> dumps;
};

// 1-based number of the line of crash_host.cpp that holds the text.
int HostLine(const std::string& text) {
  std::ifstream in(kHostSource);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number)
    if (line.find(text) != std::string::npos) return number;
  ADD_FAILURE() << "no line with " << text;
  return 0;
}

// Splits errlog.txt into its blocks; any line out of the layout fails the test.
std::vector<Block> ParseReport(const std::string& text) {
  static const std::regex kFrame(R"(^(.*)\(\) : \[(.*)\] \(File: (.*) @Line (.*)\)$)");
  std::vector<Block> blocks;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line == std::string(53, '-')) {
      blocks.emplace_back();
      std::string header[5];
      for (std::string& h : header) std::getline(in, h);
      std::smatch m;
      EXPECT_TRUE(std::regex_match(header[0], m, std::regex(R"(time:(\d{4}/\d{1,2}/\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}))")))
          << header[0];
      if (m.size() > 1) blocks.back().time = m[1];
      EXPECT_TRUE(std::regex_match(header[1], m, std::regex("ErrorCode: 0x([0-9A-F]{8})"))) << header[1];
      if (m.size() > 1) blocks.back().code = m[1];
      EXPECT_TRUE(std::regex_match(header[2], m, std::regex("Address: 0x([0-9A-F]{16})"))) << header[2];
      if (m.size() > 1) blocks.back().address = m[1];
      EXPECT_TRUE(std::regex_match(header[3], m, std::regex("Flags: 0x([0-9A-F]{8})"))) << header[3];
      if (m.size() > 1) blocks.back().flags = m[1];
      EXPECT_EQ(header[4], "CallStack: ");
      continue;
    }
    std::smatch m;
    if (blocks.empty() || !std::regex_match(line, m, kFrame)) {
      ADD_FAILURE() << "line out of the layout: " << line;
      continue;
    }
    blocks.back().frames.push_back({m[1], m[2], m[3], m[4]});
  }
  return blocks;
}

std::vector<Dump> FindDumps(const std::string& folder) {
  static const std::regex kName(R"(v1\.0-(\d{8}-\d{6})-(\d+)-(\d+)\.dmp)");
  std::vector<Dump> dumps;
  boost::system::error_code error;
  for (boost::filesystem::directory_iterator it(folder, error), end; !error && it != end; ++it) {
    const std::string name = it->path().filename().string();
    std::smatch m;
    if (!std::regex_match(name, m, kName)) continue;
    dumps.push_back({it->path().string(), m[1], std::stol(m[2]), std::stol(m[3])});
  }
  return dumps;
}

class CrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = dir_.file("crash_host");
    ASSERT_EQ(qeltest::RunCommand("cp " + std::string(QEL_TEST_BIN_DIR) + "/crash_host " + program_), 0);
  }

  // Runs the program in its own folder; folder null leaves the crash folder unset. environment: extra
  // variables for the program alone.
  CrashRun Run(const std::string& mode, const char* folder,
               const std::vector<std::pair<std::string, std::string>>& environment = {}) {
    std::vector<std::string> argv = {program_, mode};
    if (folder) argv.push_back(folder);
    CrashRun run = Launch(argv, environment);
    run.blocks = ParseReport(qeltest::ReadFile(dir_.file("errlog.txt")));
    run.dumps = FindDumps(dir_.path() + "/" + (folder ? folder : ""));
    return run;
  }

  // Runs argv in the program's folder to its end, the report and the dumps left unread.
  CrashRun Launch(const std::vector<std::string>& argv,
                  const std::vector<std::pair<std::string, std::string>>& environment = {}) {
    CrashRun run;
    qeltest::ChildProcess child;
    {
      // A sanitizer runtime in the program must leave the crash signals to the product's handler.
      qeltest::EnvGuard sanitizer("ASAN_OPTIONS", "allow_user_segv_handler=1:handle_abort=0");
      std::vector<std::unique_ptr<qeltest::EnvGuard>> guards;
      for (const auto& variable : environment)
        guards.push_back(std::make_unique<qeltest::EnvGuard>(variable.first, variable.second.c_str()));
      child = qeltest::ChildProcess(argv, dir_.file("host.log"), dir_.path());
    }
    run.pid = child.pid();
    run.exitCode = child.Wait(std::chrono::seconds(120));
    return run;
  }

  // What gdb shows of the dump: its backtrace and its threads.
  std::string Gdb(const std::string& dump, const std::string& backtrace = "bt") {
    std::string out;
    qeltest::RunCommand("timeout 120 gdb -nx -batch -ex '" + backtrace + "' -ex 'info threads' " + program_ + " " +
                            dump,
                        &out);
    return out;
  }

  // The first frame's function as gdb's backtrace names it.
  static std::string GdbFirstFrame(const std::string& out) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex(R"(\n#0 +(?:0x[0-9a-f]+ in )?(.+?) \()"))) return "";
    return m[1];
  }

  static void ExpectFrame(const Frame& frame, const std::string& function, int line) {
    EXPECT_EQ(frame.function, function);
    EXPECT_EQ(frame.module, "crash_host");
    EXPECT_EQ(boost::filesystem::path(frame.file).filename().string(), "crash_host.cpp") << frame.file;
    if (line) {
      EXPECT_EQ(frame.line, std::to_string(line)) << function;
    }
  }

  // One crash of the main thread: one block, one dump named after the process and its main thread, a dump
  // that gdb opens at the same instruction, an end by the signal.
  void ExpectSingleCrash(const CrashRun& run, int signal, const std::string& code, const std::string& folder) {
    EXPECT_EQ(run.exitCode, 128 + signal);
    ASSERT_EQ(run.blocks.size(), 1u);
    EXPECT_EQ(run.blocks[0].code, code);
    ASSERT_EQ(run.dumps.size(), 1u) << "in " << folder;
    EXPECT_EQ(run.dumps[0].pid, run.pid);
    EXPECT_EQ(run.dumps[0].tid, run.pid);
  }

  qeltest::TempDir dir_{"crash"};
  std::string program_;
};

TEST_F(CrashTest, NullWriteReportsAccessViolationWithTheProgramsFramesAndADumpGdbOpens) {
  const CrashRun run = Run("null", "crash");
  ExpectSingleCrash(run, SIGSEGV, "C0000005", "crash");
  const Block& block = run.blocks.at(0);
  EXPECT_EQ(block.flags, "00000000");
  ASSERT_GE(block.frames.size(), 2u);
  ExpectFrame(block.frames[0], "(anonymous namespace)::WriteThroughNull", HostLine("*nowhere = 42;"));
  ExpectFrame(block.frames[1], "main", HostLine("\"null\") == 0) WriteThroughNull();"));
  ASSERT_EQ(run.dumps.size(), 1u);
  const std::string gdb = Gdb(run.dumps[0].path);
  EXPECT_EQ(GdbFirstFrame(gdb), "(anonymous namespace)::WriteThroughNull") << gdb;
  EXPECT_NE(gdb.find("SIGSEGV"), std::string::npos) << gdb;
  // The report's address is where the dump's crashing thread stands.
  EXPECT_NE(gdb.find("#0  0x" + boost::algorithm::to_lower_copy(block.address)), std::string::npos)
      << block.address << "\n" << gdb;
}

TEST_F(CrashTest, ReportAndDumpAreReadableByTheirOwnerAlone) {
  // A dump holds the process's memory: not even a lax umask opens it to others.
  const mode_t previous = umask(0);
  const CrashRun run = Run("null", "crash");
  umask(previous);
  ExpectSingleCrash(run, SIGSEGV, "C0000005", "crash");
  struct stat report = {};
  ASSERT_EQ(stat(dir_.file("errlog.txt").c_str(), &report), 0);
  EXPECT_EQ(report.st_mode & 0777, 0600u);
  ASSERT_EQ(run.dumps.size(), 1u);
  struct stat dump = {};
  ASSERT_EQ(stat(run.dumps[0].path.c_str(), &dump), 0);
  EXPECT_EQ(dump.st_mode & 0777, 0600u);
}

// errlog.txt in the program's folder may be a link another user put there, or their own file: neither is
// written to (the report is left out) and the dump still comes. A report of the user's own is closed to
// others. A dump whose name is taken by what is not the user's goes to a fresh file beside it.
TEST_F(CrashTest, CrashFilesAreNeverWrittenThroughALinkNorIntoAnotherUsersFile) {
  const std::string report = dir_.file("errlog.txt");
  const std::string precious = dir_.file("precious.txt");
  qeltest::WriteFile(precious, "precious\n");
  ASSERT_EQ(symlink(precious.c_str(), report.c_str()), 0);
  EXPECT_EQ(Launch({program_, "null", "crash"}).exitCode, 128 + SIGSEGV);
  EXPECT_EQ(qeltest::ReadFile(precious), "precious\n") << "nothing written through the link";
  struct stat st = {};
  ASSERT_EQ(lstat(report.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(FindDumps(dir_.file("crash")).size(), 1u) << "the dump still comes";

  if (geteuid() == 0) {
    ASSERT_EQ(unlink(report.c_str()), 0);
    qeltest::WriteFile(report, "theirs\n");
    ASSERT_EQ(chown(report.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(report.c_str(), 0666), 0);
    EXPECT_EQ(Launch({program_, "null", "crash"}).exitCode, 128 + SIGSEGV);
    EXPECT_EQ(qeltest::ReadFile(report), "theirs\n") << "another user's file is not written to";
    ASSERT_EQ(stat(report.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(FindDumps(dir_.file("crash")).size(), 2u);
  }

  ASSERT_EQ(unlink(report.c_str()), 0);
  qeltest::WriteFile(report, "");
  ASSERT_EQ(chmod(report.c_str(), 0644), 0);
  EXPECT_EQ(Run("null", "crash").blocks.size(), 1u);
  ASSERT_EQ(stat(report.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "an older report of the user's is closed to others";

  // The dump's name is known in advance inside a process namespace (the program runs as process 2, its
  // main thread too) at a fixed moment: a link takes it first, then a file of another user.
  if (qeltest::RunCommand("unshare -p -f --mount-proc true") != 0) GTEST_SKIP() << "no process namespace here";
  const std::vector<std::string> inNamespace = {"unshare", "-p", "-f", "--mount-proc", "sh", "-c",
                                                "'" + program_ + "' null crash; true"};
  const std::vector<std::pair<std::string, std::string>> fixedClock = {
      {"LD_PRELOAD", std::string(QEL_TEST_BIN_DIR) + "/libfixed_clock_shim.so"},
      {"QEL_FIXED_TIME", "1714941000"},
      {"TZ", "UTC"}};
  const std::string taken = dir_.file("crash//v1.0-20240505-203000-2-2.dmp");
  const std::string target = dir_.file("target.txt");
  qeltest::WriteFile(target, "target\n");
  ASSERT_EQ(symlink(target.c_str(), taken.c_str()), 0);
  Launch(inNamespace, fixedClock);
  EXPECT_EQ(qeltest::ReadFile(target), "target\n") << "nothing written through the link";
  EXPECT_GT(qeltest::ReadFile(dir_.file("crash/v1.0-20240505-203000-2-2-1.dmp")).size(), 0u) << "a fresh dump beside";
  if (geteuid() != 0) return;
  ASSERT_EQ(unlink(taken.c_str()), 0);
  qeltest::WriteFile(taken, "theirs\n");
  ASSERT_EQ(chown(taken.c_str(), 65534, 65534), 0);
  Launch(inNamespace, fixedClock);
  EXPECT_EQ(qeltest::ReadFile(taken), "theirs\n") << "another user's file is not emptied";
  EXPECT_GT(qeltest::ReadFile(dir_.file("crash/v1.0-20240505-203000-2-2-2.dmp")).size(), 0u);
}

TEST_F(CrashTest, ACrashInsideTheAllocatorStillGetsItsDumpAndReportAndEndsPromptly) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator reports a double free itself";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the sanitizer's allocator reports a double free itself";
#endif
#endif
  const auto start = std::chrono::steady_clock::now();
  const CrashRun run = Run("doublefree", "crash");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ExpectSingleCrash(run, SIGABRT, "40000015", "crash");
  ASSERT_EQ(run.blocks.size(), 1u);
  EXPECT_EQ(run.blocks[0].flags, "00000001");
  ASSERT_EQ(run.dumps.size(), 1u);
  const std::string gdb = Gdb(run.dumps[0].path);
  EXPECT_NE(gdb.find("FreeTwice ("), std::string::npos) << gdb;
  EXPECT_NE(gdb.find("SIGABRT"), std::string::npos) << gdb;
}

TEST_F(CrashTest, DivisionByZeroIllegalInstructionAndAbortEachReportTheirCode) {
  struct Case {
    const char* mode;
    int signal;
    const char* code;
    const char* flags;
    const char* function;
    const char* faultLine;
  } cases[] = {
      {"divide", SIGFPE, "C0000094", "00000000", "(anonymous namespace)::DivideByZero", "return dividend / zero;"},
      {"illegal", SIGILL, "C000001D", "00000000", "(anonymous namespace)::ExecuteIllegal", "__builtin_trap();"},
      {"abort", SIGABRT, "40000015", "00000001", "(anonymous namespace)::AbortNow", "void AbortNow() { abort(); }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::string folder = std::string("crash-") + c.mode;
    boost::filesystem::remove(dir_.file("errlog.txt"));
    const CrashRun run = Run(c.mode, folder.c_str());
    ExpectSingleCrash(run, c.signal, c.code, folder);
    if (run.blocks.empty() || run.dumps.empty()) continue;
    const Block& block = run.blocks[0];
    EXPECT_EQ(block.flags, c.flags);
    // abort() reaches the program's frame through the C library's own.
    size_t own = 0;
    while (own < block.frames.size() && block.frames[own].module != "crash_host") ++own;
    ASSERT_LT(own + 1, block.frames.size());
    ExpectFrame(block.frames[own], c.function, HostLine(c.faultLine));
    EXPECT_EQ(block.frames[own + 1].function, "main");
    const std::string gdb = Gdb(run.dumps[0].path);
    const std::string shortName = std::string(c.function).substr(std::string("(anonymous namespace)::").size());
    EXPECT_NE(gdb.find(shortName + " ("), std::string::npos) << gdb;
    if (c.signal != SIGABRT) {
      EXPECT_EQ(GdbFirstFrame(gdb), c.function) << gdb;
    }
  }
}

TEST_F(CrashTest, StackOverflowStillReportsOnTheReserveStackWithABoundedStack) {
  const CrashRun run = Run("overflow", "crash");
  ExpectSingleCrash(run, SIGSEGV, "C00000FD", "crash");
  ASSERT_EQ(run.blocks.size(), 1u);
  const std::vector<Frame>& frames = run.blocks[0].frames;
  ASSERT_GE(frames.size(), 2u);
  EXPECT_LE(frames.size(), qelplat::kMaxStackFrames);
  ExpectFrame(frames[0], "(anonymous namespace)::RecurseForever", 0);
  ExpectFrame(frames[1], "(anonymous namespace)::RecurseForever", HostLine("return RecurseForever(depth + 1)"));
  ASSERT_EQ(run.dumps.size(), 1u);
  const std::string gdb = Gdb(run.dumps[0].path, "bt 4");
  EXPECT_EQ(GdbFirstFrame(gdb), "(anonymous namespace)::RecurseForever") << gdb;
}

TEST_F(CrashTest, TwoThreadsCrashingTogetherGiveTwoBlocksAndTwoDumpsEachLedByItsThread) {
  const CrashRun run = Run("threads", "crash");
  EXPECT_EQ(run.exitCode, 128 + SIGSEGV);
  ASSERT_EQ(run.blocks.size(), 2u);
  ASSERT_EQ(run.dumps.size(), 2u);
  EXPECT_EQ(run.dumps[0].pid, run.pid);
  EXPECT_EQ(run.dumps[1].pid, run.pid);
  EXPECT_NE(run.dumps[0].tid, run.dumps[1].tid);
  EXPECT_NE(run.dumps[0].tid, run.pid);
  EXPECT_NE(run.dumps[1].tid, run.pid);

  int first = 0;
  int second = 0;
  for (const Block& block : run.blocks) {
    EXPECT_EQ(block.code, "C0000005");
    ASSERT_GE(block.frames.size(), 2u);
    if (block.frames[0].function == "(anonymous namespace)::CrashInSecondThread") {
      ++second;
      ExpectFrame(block.frames[0], "(anonymous namespace)::CrashInSecondThread", HostLine("*nowhere = 2;"));
    } else {
      ++first;
      ExpectFrame(block.frames[0], "(anonymous namespace)::WriteThroughNull", HostLine("*nowhere = 42;"));
      ExpectFrame(block.frames[1], "(anonymous namespace)::CrashInFirstThread", HostLine("  WriteThroughNull();"));
    }
  }
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);

  // Each dump leads with its own thread's registers and holds the other two threads as well.
  for (const Dump& dump : run.dumps) {
    const std::string gdb = Gdb(dump.path);
    const std::string first = GdbFirstFrame(gdb);
    EXPECT_TRUE(first == "(anonymous namespace)::WriteThroughNull" ||
                first == "(anonymous namespace)::CrashInSecondThread")
        << gdb;
    EXPECT_TRUE(std::regex_search(gdb, std::regex(R"(\n\* 1 +Thread 0x[0-9a-f]+ \(LWP )" +
                                                  std::to_string(dump.tid) + R"(\))")))
        << gdb;
    EXPECT_TRUE(std::regex_search(gdb, std::regex(R"(\n  3 +Thread )"))) << gdb;
  }
}

TEST_F(CrashTest, UnsetEmptyAndNestedCrashFoldersPlaceTheDump) {
  const CrashRun unset = Run("null", nullptr);
  ExpectSingleCrash(unset, SIGSEGV, "C0000005", "(unset)");
  for (const Dump& d : unset.dumps) boost::filesystem::remove(d.path);

  const CrashRun empty = Run("null", "");
  EXPECT_EQ(empty.exitCode, 128 + SIGSEGV);
  EXPECT_EQ(empty.blocks.size(), 2u);  // errlog.txt grows by one block per crash
  ASSERT_EQ(empty.dumps.size(), 1u);
  EXPECT_EQ(empty.dumps[0].pid, empty.pid);

  boost::filesystem::remove(dir_.file("errlog.txt"));
  const CrashRun nested = Run("null", "crash/deeper/deepest");
  ExpectSingleCrash(nested, SIGSEGV, "C0000005", "crash/deeper/deepest");
}

TEST_F(CrashTest, ReportClockIsUtcPlusEightAndTheDumpNameUsesLocalTime) {
  // 2024-05-05 20:30:00 UTC, in a process whose local zone is UTC.
  const CrashRun run = Run("null", "crash",
                           {{"LD_PRELOAD", std::string(QEL_TEST_BIN_DIR) + "/libfixed_clock_shim.so"},
                            {"QEL_FIXED_TIME", "1714941000"},
                            {"TZ", "UTC"}});
  ASSERT_EQ(run.blocks.size(), 1u);
  EXPECT_EQ(run.blocks[0].time, "2024/5/6 4:30:0");
  ASSERT_EQ(run.dumps.size(), 1u);
  EXPECT_EQ(run.dumps[0].stamp, "20240505-203000");
}

TEST_F(CrashTest, SymbolNameLongerThan1023BytesIsCutTo1023) {
  const CrashRun run = Run("longname", "crash");
  ExpectSingleCrash(run, SIGSEGV, "C0000005", "crash");
  ASSERT_EQ(run.blocks.size(), 1u);
  ASSERT_FALSE(run.blocks[0].frames.empty());
  const Frame& frame = run.blocks[0].frames[0];
  std::string expected;
  while (expected.size() < 1023) expected += "FunctionNameOf16x";
  expected.resize(1023);
  EXPECT_EQ(frame.function, expected);
  EXPECT_EQ(frame.file.substr(frame.file.size() - 14), "crash_host.cpp");
}

// A thread that waits in a function of its own while the process dumps itself.
__attribute__((noinline)) void WaitInsideKnownFunction(std::atomic<bool>* inside, const std::atomic<bool>* stop) {
  inside->store(true);
  while (!stop->load()) usleep(1000);
}

TEST(CoreDumpTest, DumpOfARunningProcessHoldsEveryThreadAndGdbOpensIt) {
  HMODULE dbghelp = LoadLibraryA("DbgHelp.dll");
  ASSERT_NE(dbghelp, nullptr);
  EXPECT_NE(LoadLibraryA("dbghelp"), nullptr);
  MINIDUMPWRITEDUMP writeDump = reinterpret_cast<MINIDUMPWRITEDUMP>(GetProcAddress(dbghelp, "MiniDumpWriteDump"));
  ASSERT_NE(writeDump, nullptr);

  std::atomic<bool> inside{false};
  std::atomic<bool> stop{false};
  std::thread waiter(WaitInsideKnownFunction, &inside, &stop);
  while (!inside.load()) usleep(1000);
  qeltest::TempDir dir("coredump");
  const std::string path = dir.file("live.dmp");
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpWithFullMemory, nullptr, nullptr,
                        nullptr));
  // Only this process can be dumped, and only into a file.
  SetLastError(0);
  EXPECT_FALSE(writeDump(GetCurrentProcess(), GetCurrentProcessId() + 1, file, MiniDumpWithFullMemory, nullptr,
                         nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(
      writeDump(GetCurrentProcess(), GetCurrentProcessId(), nullptr, MiniDumpWithFullMemory, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(file);
  stop.store(true);
  waiter.join();
  EXPECT_TRUE(FreeLibrary(dbghelp));

  std::string out;
  qeltest::RunCommand("timeout 120 gdb -nx -batch -ex 'thread apply all bt' /proc/" + std::to_string(getpid()) +
                          "/exe " + path,
                      &out);
  EXPECT_NE(out.find("DumpOfARunningProcessHoldsEveryThreadAndGdbOpensIt"), std::string::npos) << out;
  EXPECT_NE(out.find("WaitInsideKnownFunction"), std::string::npos) << out;
}

}  // namespace
