// Prints the digest of each file named on the command line, like md5sum.
#include <cstdio>

#include "QelTools/MD5.h"

int main(int argc, char** argv) {
  QEL::MD5 md5;
  char out[256];
  for (int i = 1; i < argc; ++i) printf("%s  %s\n", md5.GetMD5OfFile(argv[i], out), argv[i]);
  return 0;
}
