// qelcmd: the command interpreter of this system, in place of cmd.exe.
//   qelcmd <file.bat> [arguments]   runs the batch file (its arguments are not used)
//   qelcmd /c <command line>        runs one command line
// It runs only the commands this system writes (see qelplat/shell.h) and refuses anything else.
#include <strings.h>

#include <cstdio>
#include <string>

#include "qelplat/shell.h"

namespace {

// The arguments back into one Windows command line, quoting those that need it.
std::string JoinArguments(int first, int argc, char** argv) {
  std::string line;
  for (int i = first; i < argc; ++i) {
    std::string word = argv[i];
    if (!line.empty()) line += ' ';
    if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) {
      line += word;
      continue;
    }
    line += '"';
    for (char c : word) {
      if (c == '"') line += '\\';
      line += c;
    }
    line += '"';
  }
  return line;
}

// An errorlevel as a process exit status, which keeps only 8 bits.
int ExitStatus(int level) { return level >= 0 && level <= 255 ? level : 1; }

}  // namespace

int main(int argc, char** argv) {
  bool commandLine = argc >= 2 && strcasecmp(argv[1], "/c") == 0;
  if (commandLine && argc >= 3) return ExitStatus(qelplat::RunCommandLine(JoinArguments(2, argc, argv)));
  if (!commandLine && argc >= 2) return ExitStatus(qelplat::RunBatchFile(argv[1]));
  fputs("usage: qelcmd <file.bat> | qelcmd /c <command line>\n", stderr);
  return 1;
}
