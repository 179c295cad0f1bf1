#include <log4cxx/helpers/loglog.h>
#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/propertyconfigurator.h>

#include <clocale>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "QelTools/Log.h"
#include "qelplat/codepage.h"
#include "qelplat/console.h"
#include "qelplat/fileio.h"
#include "qelplat/locale.h"
#include "qelplat/logfolder.h"
#include "qelplat/paths.h"

namespace QEL {
namespace {

struct LevelStyle {
  ELogLevel level;
  const char* tag;
  WORD colour;
};

const LevelStyle kStyles[] = {
    {TRACE, " [TRACE]：", 2}, {DEBUG, " [DEBUG]：", 10}, {INFO, " [INFO]：", 14},
    {WARN, " [WARN]：", 4},   {ERROR, " [ERROR]：", 12}, {FATAL, " [FATAL]：", 0x4C},
};
const char kDefaultTag[] = " [DEFAULT]：";
const WORD kMessageColour = 15;
const DWORD kModulePathBuffer = 261;
// The variable a log configuration names its folder by: the user's log folder, made before configuring.
const char kLogFolderVariable[] = "QEL_LOG_DIR";

const LevelStyle* StyleOf(ELogLevel level) {
  for (const LevelStyle& style : kStyles)
    if (style.level == level) return &style;
  return nullptr;
}

// The program's folder, or empty when the path cannot be had whole.
std::string ProgramFolder() {
  char path[kModulePathBuffer] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, kModulePathBuffer);
  if (n == 0 || n >= kModulePathBuffer) return std::string();
  const char* slash = strrchr(path, '/');
  return slash ? std::string(path, static_cast<size_t>(slash - path)) : std::string();
}

bool NamesLogFolder(const std::string& properties) {
  std::ifstream in(properties, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.find(std::string("${") + kLogFolderVariable + "}") != std::string::npos;
}

// log4cxx is configured once per process: every further writer logs to the same root logger, and the watch
// of the first already follows the file's changes.
void ConfigureOnce(const std::string& properties) {
  static std::mutex lock;
  static std::string* configured = new std::string;  // never destroyed: writers may be built while exiting
  std::lock_guard<std::mutex> hold(lock);
  if (*configured == properties) return;
  // A configuration that writes to the user's log folder needs the folder to exist and its name known;
  // without one it would write below the file system's root.
  if (NamesLogFolder(properties) && qelplat::PrepareLogFolder(kLogFolderVariable).empty()) {
    fprintf(stderr, "无法创建日志目录（%s），不写日志：%s\n", kLogFolderVariable, properties.c_str());
    // Left unconfigured, log4cxx would configure itself from the same file in the current folder.
    log4cxx::LogManager::getLoggerRepository()->setConfigured(true);
    return;
  }
  // The watch thread logs through log4cxx's internal logger while it stops, and log4cxx stops it only after
  // that logger is destroyed at exit. So the logger is made first and the watch stopped at exit, before
  // anything of log4cxx is destroyed.
  log4cxx::helpers::LogLog::setInternalDebugging(false);
  log4cxx::PropertyConfigurator::configureAndWatch(log4cxx::File(properties));
  static std::once_flag stopAtExit;
  std::call_once(stopAtExit, [] { atexit([] { log4cxx::LogManager::shutdown(); }); });
  *configured = properties;
}

}  // namespace

int CConsoleLogWriter::Write(ELogLevel level, const char* text) {
  const LevelStyle* style = StyleOf(level);
  std::string header = FormatLogTime() + (style ? style->tag : kDefaultTag);
  HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO saved = {7};
  bool coloured = GetConsoleScreenBufferInfo(console, &saved);
  if (coloured && style) SetConsoleTextAttribute(console, style->colour);
  fputs("\n", stdout);
  fputs(header.c_str(), stdout);
  if (coloured) SetConsoleTextAttribute(console, kMessageColour);
  // The message is written as it stands, never used as a format.
  fputs(text ? text : "", stdout);
  fputs("\n", stdout);
  if (coloured) SetConsoleTextAttribute(console, saved.wAttributes);
  fflush(stdout);
  return -1;
}

CLog4CxxWriter::CLog4CxxWriter() {
  qelplat::SetRuntimeLocale(LC_ALL, "chs");
  std::string folder = ProgramFolder();
  if (folder.empty()) return;  // without the whole path we would configure from the wrong folder
  SetCurrentDirectoryA(folder.c_str());
  // Only an existing file is watched: log4cxx's watch thread for a missing file holds the process up at exit.
  std::string properties = folder + "/log4cxx.properties";
  if (GetFileAttributesA(properties.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  ConfigureOnce(properties);
}

int CLog4CxxWriter::Write(ELogLevel level, const char* text) {
  if (!StyleOf(level)) return -1;
  log4cxx::LoggerPtr root = log4cxx::Logger::getRootLogger();
  // Through the wide interface, so the text's decoding does not depend on the process's locale.
  std::wstring message = qelplat::Utf8ToWide(text ? text : "");
  switch (level) {
    case TRACE: root->trace(message); break;
    case DEBUG: root->debug(message); break;
    case INFO: root->info(message); break;
    case WARN: root->warn(message); break;
    case ERROR: root->error(message); break;
    case FATAL: root->fatal(message); break;
  }
  return -1;
}

}  // namespace QEL
