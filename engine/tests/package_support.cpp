#include "package_support.h"

#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace enginetest {

namespace {

const char kZipWriter[] = R"(import hashlib, json, random, sys, zipfile
recipe = json.load(open(sys.argv[1], encoding="utf-8"))
corrupt = []
with zipfile.ZipFile(recipe["zip"], "w") as z:
    for e in recipe["entries"]:
        stored = e["random"] > 0 or e["corrupt"]
        data = random.Random(7).randbytes(e["random"]) if e["random"] > 0 else e["data"].encode("utf-8")
        info = zipfile.ZipInfo(e["name"], (2026, 1, 2, 3, 4, 6))
        info.create_system = 3
        info.external_attr = (0o100000 | e["mode"]) << 16
        info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
        z.writestr(info, data)
        if e["corrupt"]:
            corrupt.append(data)
raw = open(recipe["zip"], "rb").read()
for data in corrupt:
    at = raw.index(data)
    raw = raw[:at] + bytes([raw[at] ^ 0xFF]) + raw[at + 1:]
open(recipe["zip"], "wb").write(raw)
print(hashlib.md5(raw).hexdigest().upper())
)";

const char kTreeLister[] = R"(import hashlib, os, stat, sys
root = sys.argv[1]
lines = []
for folder, dirs, files in os.walk(root):
    for name in dirs + files:
        path = os.path.join(folder, name)
        st = os.lstat(path)
        if stat.S_ISLNK(st.st_mode):
            what = "link " + os.readlink(path)
        elif stat.S_ISDIR(st.st_mode):
            what = "folder"
        else:
            with open(path, "rb") as f:
                what = "file %d %s" % (st.st_size, hashlib.md5(f.read()).hexdigest())
        lines.append("%s %o %s" % (os.path.relpath(path, root), stat.S_IMODE(st.st_mode), what))
print("\n".join(sorted(lines)))
)";

}  // namespace

std::string TreeScript() { return kTreeLister; }

std::string TreeOf(const std::string& folder) {
  const std::string script = folder + ".tree.py";
  qeltest::WriteFile(script, kTreeLister);
  std::string out;
  qeltest::RunCommand("python3 '" + script + "' '" + folder + "'", &out);
  unlink(script.c_str());
  return out;
}

std::string RunInstallHost(const std::string& base, const std::string& code, const std::string& zip,
                           const std::string& env) {
  std::string out;
  qeltest::RunCommand("env " + env + " '" + std::string(QEL_TEST_BIN_DIR) + "/install_host' '" + base + "' '" + code +
                          "' '" + zip + "'",
                      &out);
  return out;
}

std::string PlaceDownloadedPackage(const std::string& scratch, const std::string& workFolder,
                                   const std::vector<TZipEntry>& entries, const std::string& version,
                                   TUpdateInfo* info) {
  const std::string md5 = MakeZip(scratch, entries);
  if (md5.size() != 32) return std::string();
  const std::string zip = workFolder + "/" + md5 + ".zip";
  if (rename(scratch.c_str(), zip.c_str()) != 0) return std::string();
  memset(info, 0, sizeof *info);
  strncpy(info->new_version, version.c_str(), sizeof info->new_version - 1);
  strcpy(info->package_file, "setup.exe");
  strcpy(info->package_md5, md5.c_str());
  info->package_downloaded = true;
  return zip;
}

std::string MakeZip(const std::string& path, const std::vector<TZipEntry>& entries) {
  Json::Value recipe;
  recipe["zip"] = path;
  recipe["entries"] = Json::Value(Json::arrayValue);
  for (const TZipEntry& entry : entries) {
    Json::Value item;
    item["name"] = entry.name;
    item["data"] = entry.data;
    item["mode"] = entry.mode;
    item["random"] = static_cast<Json::UInt64>(entry.random_bytes);
    item["corrupt"] = entry.corrupt;
    recipe["entries"].append(item);
  }
  std::string recipeFile = path + ".recipe.json";
  std::string scriptFile = path + ".make.py";
  qeltest::WriteFile(recipeFile, Json::writeString(Json::StreamWriterBuilder(), recipe));
  qeltest::WriteFile(scriptFile, kZipWriter);
  std::string out;
  int status = qeltest::RunCommand("python3 '" + scriptFile + "' '" + recipeFile + "'", &out);
  unlink(recipeFile.c_str());
  unlink(scriptFile.c_str());
  if (status != 0 || out.size() < 32) return std::string();
  return out.substr(0, 32);
}

std::string RecorderScript(const std::string& record) {
  return "#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"[$a]\"; done; } > '" + record + ".tmp' && mv '" + record +
         ".tmp' '" + record + "'\n";
}

void MakeProgram(const std::string& path) {
  qeltest::WriteFile(path, qeltest::ReadFile("/bin/sleep"));
  chmod(path.c_str(), 0755);
}

bool WaitForFile(const std::string& path, int milliseconds) {
  for (int waited = 0; waited < milliseconds && !qeltest::FileExists(path); waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return qeltest::FileExists(path);
}

CProductInfo& KeptProduct() {
  static std::mutex lock;
  static std::vector<CProductInfo*>* kept = new std::vector<CProductInfo*>;  // reachable to the end
  std::lock_guard<std::mutex> hold(lock);
  kept->push_back(new CProductInfo);
  return *kept->back();
}

TProductInfo Record(const std::string& code, const std::string& execute_file) {
  TProductInfo rec;
  memset(&rec, 0, sizeof rec);
  strncpy(rec.code, code.c_str(), sizeof rec.code - 1);
  strncpy(rec.execute_file, execute_file.c_str(), sizeof rec.execute_file - 1);
  strcpy(rec.current_version, "1.0");
  rec.notify_type = 2;
  rec.check_timespan = 60;
  rec.check_retry_count = 1;
  rec.download_retry_count = 1;
  rec.download_failed_max_count = 5;
  return rec;
}

}  // namespace enginetest
