// A host program for the logger tests: builds the process's logger as a library user would and logs each
// argument at INFO (literally), then prints the current folder.
#include <unistd.h>

#include <cstdio>

#include "QelTools/Log.h"

int main(int argc, char** argv) {
  QEL::CLog log;
  for (int i = 1; i < argc; ++i) log.Log(QEL::INFO, "%s", argv[i]);
  log.Log(QEL::ERROR, "error line");
  log.Log(static_cast<QEL::ELogLevel>(3), "dropped line");
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd))) printf("%s\n", cwd);
  return 0;
}
