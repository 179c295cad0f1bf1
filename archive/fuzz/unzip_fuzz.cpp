// Unpacks arbitrary bytes as a zip (or rar) package into a scratch folder: nothing may crash, hang, or
// write outside that folder.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "QelCompress/QelCompress.h"
#include "qelplat/codepage.h"

namespace {

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
    return;
  }
  unlink(path.c_str());
}

// A scratch folder below the run's own folder, removed when the run ends: a fuzz run leaves nothing elsewhere.
class CScratch {
 public:
  CScratch() {
    char cwd[4096];
    std::string templ = std::string(getcwd(cwd, sizeof cwd) ? cwd : ".") + "/unzip-fuzz-XXXXXX";
    if (mkdtemp(&templ[0])) path_ = templ;
  }
  ~CScratch() {
    if (!path_.empty()) RemoveTree(path_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const std::string& Scratch() {
  static CScratch scratch;
  return scratch.path();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& base = Scratch();
  if (base.empty()) abort();
  const std::string archive = base + "/in.zip";
  const std::string dest = base + "/box/dest";
  FILE* f = fopen(archive.c_str(), "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  QELDeCompress(qelplat::Utf8ToWide(archive).c_str(), qelplat::Utf8ToWide(dest).c_str());
  // Whatever the package said, the box holds only the destination.
  if (DIR* box = opendir((base + "/box").c_str())) {
    while (dirent* entry = readdir(box)) {
      std::string name = entry->d_name;
      if (name != "." && name != ".." && name != "dest") abort();
    }
    closedir(box);
  }
  RemoveTree(base + "/box");
  unlink(archive.c_str());
  return 0;
}
