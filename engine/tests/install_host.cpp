// A program that installs one package as a product object does once its check has downloaded it, for the
// tests that make the install fail or die part-way from outside (a preloaded fault, a kill):
//   install_host <base folder/> <code> <zip>
// The zip lies in the work folder <base folder><code>, named after its digest; the package's installer is
// setup.exe. Every log line goes to standard output.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "EngineLog.h"
#include "ProductInfo.h"

namespace {

class CPrintWriter : public QEL::CLogWriter {
 public:
  int Write(QEL::ELogLevel level, const char* text) override {
    printf("[%d] %s\n", static_cast<int>(level), text);
    fflush(stdout);
    return -1;
  }
};

void Copy(char* field, size_t size, const std::string& text) { snprintf(field, size, "%s", text.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  g_Log.SetWriter(new CPrintWriter);
  const std::string code = argv[2];
  const std::string zip = argv[3];
  // Install threads are detached and the object lives until the process ends, as the engine's own do.
  CProductInfo* product = new CProductInfo;
  product->SetBaseFolder(argv[1]);
  TProductInfo rec;
  memset(&rec, 0, sizeof rec);
  Copy(rec.code, sizeof rec.code, code);
  Copy(rec.execute_file, sizeof rec.execute_file, "/nonexistent/" + code + ".exe");
  Copy(rec.current_version, sizeof rec.current_version, "1.0");
  rec.check_timespan = 60;
  product->SetProductInfo(&rec, true);
  TUpdateInfo info;
  memset(&info, 0, sizeof info);
  Copy(info.new_version, sizeof info.new_version, "2.0");
  Copy(info.package_file, sizeof info.package_file, "setup.exe");
  const size_t name = zip.find_last_of('/') + 1;
  Copy(info.package_md5, sizeof info.package_md5, zip.substr(name, zip.size() - name - 4));
  info.package_downloaded = true;
  rec.update_info = &info;
  product->DoUpdate(rec);
  printf("DONE\n");
  fflush(stdout);
  _exit(0);
}
