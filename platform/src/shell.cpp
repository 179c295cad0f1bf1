#include "qelplat/shell.h"

#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qelplat/codepage.h"
#include "qelplat/lasterror.h"
#include "qelplat/process.h"

namespace qelplat {
namespace {

const DWORD kErrorNoAssociation = 1155;
const char kInterpreterName[] = "qelcmd";
const char kBlanks[] = " \t";

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         strcasecmp(text.c_str() + text.size() - suffix.size(), suffix.c_str()) == 0;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsRunnable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(kBlanks);
  return text.substr(begin, end - begin + 1);
}

// cmd.exe stands beside the system's own programs; qelcmd stands beside ours.
std::string FindCommandInterpreter() {
  std::vector<std::string> folders;
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&FindCommandInterpreter), &info) && info.dli_fname) {
    char resolved[4096];
    if (realpath(info.dli_fname, resolved)) folders.push_back(FolderOf(resolved));
  }
  std::string program;
  if (ProcessExecutable(static_cast<DWORD>(getpid()), &program)) folders.push_back(FolderOf(program));
  const char* path = getenv("PATH");
  std::stringstream entries(path ? path : "");
  for (std::string entry; std::getline(entries, entry, ':');)
    if (!entry.empty()) folders.push_back(entry);
  for (const std::string& folder : folders) {
    std::string candidate = folder + "/" + kInterpreterName;
    if (IsRunnable(candidate)) return candidate;
  }
  return std::string();
}

// The interpreter and its one optional argument from a "#!" first line, as the kernel reads it.
bool ReadShebang(const std::string& file, std::vector<std::string>* interpreter) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line) || line.compare(0, 2, "#!") != 0) return false;
  line = Trim(line.substr(2));
  if (!line.empty() && line.back() == '\r') line = Trim(line.substr(0, line.size() - 1));
  if (line.empty()) return false;
  size_t blank = line.find_first_of(kBlanks);
  interpreter->push_back(line.substr(0, blank));
  if (blank != std::string::npos) {
    std::string argument = Trim(line.substr(blank));
    if (!argument.empty()) interpreter->push_back(argument);
  }
  return true;
}

// Windows refuses a file that is not there (2, or 3 for a missing folder) or is a folder (5).
bool CheckOpenable(const std::string& file) {
  struct stat st;
  if (stat(file.c_str(), &st) != 0) {
    int err = errno;
    std::string folder = FolderOf(file);
    bool folderMissing = err == ENOTDIR || (err == ENOENT && !folder.empty() && access(folder.c_str(), F_OK) != 0);
    SetLastError(folderMissing ? ERROR_PATH_NOT_FOUND : Win32FromErrno(err));
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

// What runs for "open" on the file: the interpreter of a batch file, the one a script names, or the file.
bool OpenFile(const std::string& file, const std::vector<std::string>& parameters, const char* directory,
              DWORD* processId) {
  if (!CheckOpenable(file)) return false;
  std::vector<std::string> argv;
  if (EndsWithNoCase(file, ".bat") || EndsWithNoCase(file, ".cmd")) {
    std::string interpreter = FindCommandInterpreter();
    if (interpreter.empty()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    argv = {interpreter, file};
  } else if (access(file.c_str(), X_OK) != 0 && ReadShebang(file, &argv)) {
    argv.push_back(file);
  } else {
    argv = {file};
  }
  argv.insert(argv.end(), parameters.begin(), parameters.end());
  return StartDetached(argv[0], argv, directory, processId);
}

// The small error values ShellExecute leaves in hInstApp.
HMODULE ShellError(DWORD error) {
  uintptr_t value = 31;  // no association
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_ACCESS_DENIED)
    value = error;
  if (error == ERROR_BAD_EXE_FORMAT) value = 11;
  return reinterpret_cast<HMODULE>(value);
}

void Complain(const std::string& text) {
  std::string line = std::string(kInterpreterName) + ": " + text + "\n";
  fputs(line.c_str(), stderr);
}

int TaskKill(const std::string& arguments) {
  std::vector<std::string> words = SplitCommandLine(arguments);
  bool force = false;
  std::string image;
  for (size_t i = 0; i < words.size(); ++i) {
    if (strcasecmp(words[i].c_str(), "/F") == 0) {
      force = true;
    } else if (strcasecmp(words[i].c_str(), "/IM") == 0 && i + 1 < words.size()) {
      image = words[++i];
    } else {
      Complain("taskkill: unsupported argument: " + words[i]);
      return 1;
    }
  }
  if (image.empty() || image.find_first_of("*?") != std::string::npos) {
    Complain("taskkill: needs /IM with one image name");
    return 1;
  }
  if (KillProcessesByImage(image, force) == 0) {
    Complain("taskkill: no process \"" + image + "\" found");
    return 128;
  }
  return 0;
}

// start "title" program [arguments]: the first quoted word is the window title, as cmd.exe reads it.
int Start(const std::string& arguments) {
  std::string rest = Trim(arguments);
  if (!rest.empty() && rest[0] == '"') {
    size_t close = rest.find('"', 1);
    rest = close == std::string::npos ? std::string() : Trim(rest.substr(close + 1));
  }
  if (rest.empty()) {
    Complain("start: needs a program");
    return 1;
  }
  if (rest[0] == '/') {
    Complain("start: unsupported option: " + rest);
    return 1;
  }
  std::vector<std::string> words = SplitCommandLine(rest);
  std::vector<std::string> parameters(words.begin() + 1, words.end());
  DWORD pid = 0;
  if (!OpenFile(words[0], parameters, nullptr, &pid)) {
    Complain("start: cannot run " + words[0] + " (error " + std::to_string(GetLastError()) + ")");
    return 1;
  }
  return 0;
}

// A batch line with "%%" made "%"; false when it holds a lone "%", a variable this interpreter lacks.
bool ExpandPercents(const std::string& line, std::string* out) {
  out->clear();
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '%') {
      *out += line[i];
      continue;
    }
    if (i + 1 >= line.size() || line[i + 1] != '%') return false;
    *out += '%';
    ++i;
  }
  return true;
}

}  // namespace

int RunCommandLine(const std::string& line) {
  std::string text = Trim(line);
  if (text.empty()) return 0;
  size_t blank = text.find_first_of(kBlanks);
  std::string command = text.substr(0, blank);
  std::string arguments = blank == std::string::npos ? std::string() : text.substr(blank);
  if (strcasecmp(command.c_str(), "taskkill") == 0 || strcasecmp(command.c_str(), "taskkill.exe") == 0)
    return TaskKill(arguments);
  if (strcasecmp(command.c_str(), "start") == 0) return Start(arguments);
  Complain("not a command this interpreter runs: " + text);
  return kUnknownCommand;
}

int RunBatchFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Complain("cannot read " + path);
    return 1;
  }
  int level = 0;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string expanded;
    if (!ExpandPercents(line, &expanded)) {
      Complain(path + ":" + std::to_string(number) + ": variables are not supported: " + line);
      level = kUnknownCommand;
      continue;
    }
    if (!Trim(expanded).empty()) level = RunCommandLine(expanded);
  }
  return level;
}

int RunSystemCommand(const char* command) {
  if (!command) return 1;  // system(NULL): an interpreter is there
  return RunCommandLine(command);
}

}  // namespace qelplat

int SHCreateDirectoryExW(HWND, LPCWSTR path, const SECURITY_ATTRIBUTES*) {
  if (!path || !*path) return ERROR_INVALID_PARAMETER;
  std::string full = qelplat::WideToPath(path);
  struct stat st;
  if (stat(full.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
  for (size_t pos = 1; pos <= full.size(); ++pos) {
    if (pos != full.size() && full[pos] != '/') continue;
    std::string level = full.substr(0, pos);
    if (mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) {
      int err = static_cast<int>(qelplat::Win32FromErrno(errno));
      SetLastError(err);
      return err;
    }
  }
  return ERROR_SUCCESS;
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) {
  if (!info || info->cbSize != sizeof(SHELLEXECUTEINFOA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  info->hProcess = nullptr;
  DWORD error = ERROR_SUCCESS;
  DWORD pid = 0;
  if (info->lpVerb && *info->lpVerb && strcasecmp(info->lpVerb, "open") != 0) {
    error = qelplat::kErrorNoAssociation;
  } else if (!info->lpFile || !*info->lpFile) {
    error = ERROR_FILE_NOT_FOUND;
  } else {
    std::vector<std::string> parameters = qelplat::SplitCommandLine(info->lpParameters ? info->lpParameters : "");
    const char* directory = info->lpDirectory && *info->lpDirectory ? info->lpDirectory : nullptr;
    if (!qelplat::OpenFile(info->lpFile, parameters, directory, &pid)) error = GetLastError();
  }
  if (error != ERROR_SUCCESS) {
    info->hInstApp = qelplat::ShellError(error);
    SetLastError(error);
    return FALSE;
  }
  info->hInstApp = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(33));
  if (info->fMask & SEE_MASK_NOCLOSEPROCESS) info->hProcess = qelplat::ProcessHandle(pid);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
