// Unpacks a package with the archive library, as the engine does before an install.
#include <cstdio>

#include "QelCompress/QelCompress.h"
#include "qelplat/codepage.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: unpack_package <archive> <folder>\n");
    return 2;
  }
  int rc = QELDeCompress(qelplat::Utf8ToWide(argv[1]).c_str(), qelplat::Utf8ToWide(argv[2]).c_str());
  if (rc != 0) fprintf(stderr, "result %d\n", rc);
  return rc == 0 ? 0 : 1;
}
