#include "e2e_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <json/json.h>

#include "UIlib.h"
#include "qelplat/codepage.h"

namespace e2e {

namespace {

const char kDeleted[] = " (deleted)";

const char kZipWriter[] = R"(import hashlib, json, sys, zipfile
recipe = json.load(open(sys.argv[1], encoding="utf-8"))
with zipfile.ZipFile(recipe["zip"], "w") as z:
    for e in recipe["entries"]:
        info = zipfile.ZipInfo(e["name"], (2026, 1, 2, 3, 4, 6))
        info.create_system = 3
        info.external_attr = (0o100000 | e["mode"]) << 16
        data = e["data"].encode("latin-1")
        if e["source"]:
            data = open(e["source"], "rb").read() + data
        info.compress_type = zipfile.ZIP_STORED if e["source"] else zipfile.ZIP_DEFLATED
        z.writestr(info, data)
print(hashlib.md5(open(recipe["zip"], "rb").read()).hexdigest().upper())
)";

// The program of a process, without the suffix the kernel adds once the file is gone; "" for a process that
// has ended (a zombie has no program) or cannot be read.
std::string ProgramOf(const std::string& pid) {
  char target[4096];
  ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof target - 1);
  if (n <= 0) return std::string();
  std::string path(target, static_cast<size_t>(n));
  size_t suffix = sizeof kDeleted - 1;
  if (path.size() > suffix && path.compare(path.size() - suffix, suffix, kDeleted) == 0)
    path.resize(path.size() - suffix);
  return path;
}

template <typename Match>
std::vector<pid_t> ProcessesWhere(Match match) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = readdir(proc)) {
    std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string program = ProgramOf(name);
    if (!program.empty() && match(program)) found.push_back(static_cast<pid_t>(std::atol(name.c_str())));
  }
  closedir(proc);
  return found;
}

// Text bytes as Latin-1 code points, so Python writes exactly these bytes back.
std::string AsLatin1Json(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<pid_t> ProcessesOf(const std::string& program) {
  return ProcessesWhere([&](const std::string& path) { return path == program; });
}

std::vector<pid_t> ProcessesBelow(const std::string& folder) {
  return ProcessesWhere([&](const std::string& path) { return path.compare(0, folder.size() + 1, folder + "/") == 0; });
}

bool RunsCurrentFile(pid_t pid, const std::string& program) {
  struct stat running, current;
  if (stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &running) != 0) return false;
  if (stat(program.c_str(), &current) != 0) return false;
  return running.st_dev == current.st_dev && running.st_ino == current.st_ino;
}

std::string MakeZip(const std::string& path, const std::vector<TZipEntry>& entries) {
  Json::Value recipe;
  recipe["zip"] = path;
  recipe["entries"] = Json::Value(Json::arrayValue);
  for (const TZipEntry& entry : entries) {
    Json::Value item;
    item["name"] = entry.name;
    item["data"] = AsLatin1Json(entry.data);
    item["mode"] = entry.mode;
    item["source"] = entry.source;
    recipe["entries"].append(item);
  }
  std::string recipeFile = path + ".recipe.json";
  std::string scriptFile = path + ".make.py";
  qeltest::WriteFile(recipeFile, Json::writeString(Json::StreamWriterBuilder(), recipe));
  qeltest::WriteFile(scriptFile, kZipWriter);
  std::string out;
  int status = qeltest::RunCommand("python3 " + ShellQuote(scriptFile) + " " + ShellQuote(recipeFile), &out);
  unlink(recipeFile.c_str());
  unlink(scriptFile.c_str());
  if (status != 0 || out.size() < 32) return std::string();
  return out.substr(0, 32);
}

std::string Md5Of(const std::string& path) {
  std::string out;
  if (qeltest::RunCommand("md5sum " + ShellQuote(path), &out) != 0 || out.size() < 32) return std::string();
  std::string md5 = out.substr(0, 32);
  for (char& c : md5) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return md5;
}

std::string Installer(const std::string& record, const std::string& before) {
  std::string part = ShellQuote(record + ".part") + "$$";
  return "#!/bin/sh\n" + before + "\n{ cat " + ShellQuote(record) +
         " 2>/dev/null; pwd; for a in \"$@\"; do echo \"[$a]\"; done; } > " + part + " && mv -f " + part + " " +
         ShellQuote(record) + "\n";
}

std::string CheckAnswer(const std::string& code, const std::string& version, const std::string& setupUrl,
                        const std::string& md5) {
  Json::Value answer;
  answer["result"] = "success";
  answer["product_code"] = code;
  answer["product_name"] = "E2E " + code;
  answer["product_version"] = version;
  answer["update_time"] = "2026-12-01";
  answer["update_description"] = "first line#second line";
  answer["update_type"] = 0;
  answer["setup_url"] = setupUrl;
  answer["setup_md5"] = md5;
  answer["update_url"] = "";
  answer["update_md5"] = "";
  return Json::writeString(Json::StreamWriterBuilder(), answer);
}

CInstalledSystem::CInstalledSystem() {
  qeltest::RunCommand("cp -a " + ShellQuote(QEL_BIN_DIR) + " " + ShellQuote(Bin()));
  qeltest::WriteFileLogConfig(Bin());
  for (const std::string& sub : {RegistryFolder(), Temp(), Cache(), dir.file("products"), dir.file("records")})
    mkdir(sub.c_str(), 0700);
}

std::string CInstalledSystem::MakeProduct(const std::string& name) const {
  // Products are closed by file name: without a namespace of its own, a test must not close another's.
  std::string stem = name.substr(0, name.rfind(".exe"));
  std::string path = dir.file("products/" + stem + " " + std::to_string(getpid()) + ".exe");
  qeltest::WriteFile(path, qeltest::ReadFile("/bin/sleep"));
  chmod(path.c_str(), 0755);
  return path;
}

void CInstalledSystem::WriteRegistry(const std::string& checkUrl, const std::vector<TProduct>& products) const {
  // Each client checks once when it starts (the shortest interval is a minute), with a second between check
  // attempts, and downloads in one attempt with no pause after it.
  std::string hive = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n";
  hive += "\"server\"=\"" + checkUrl + "\"\r\n\"check_timespan\"=\"1\"\r\n\r\n";
  for (const TProduct& p : products) {
    hive += "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin\\ProductList\\" + p.code + "]\r\n";
    hive += "\"code\"=\"" + p.code + "\"\r\n\"name\"=\"E2E " + p.code + "\"\r\n";
    hive += "\"current_version\"=\"" + p.version + "\"\r\n\"execute_file\"=\"" + p.executeFile + "\"\r\n";
    hive += "\"notify_type\"=\"" + std::to_string(p.notifyType) + "\"\r\n\"check_timespan\"=\"1\"\r\n";
    hive += "\"check_retry_count\"=\"2\"\r\n\"check_retry_timespan\"=\"1\"\r\n";
    hive += "\"download_retry_count\"=\"1\"\r\n";
    hive += "\"download_retry_timespan\"=\"0\"\r\n\"download_failed_max_count\"=\"5\"\r\n\r\n";
  }
  qeltest::WriteFile(RegistryFolder() + "/HKEY_CURRENT_USER.reg", hive);
}

std::string CInstalledSystem::Log() const { return qeltest::ReadFile(dir.file("bin/out.log")); }

size_t CInstalledSystem::LogCount(const std::string& text) const {
  std::string log = Log();
  size_t count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++count;
  return count;
}

bool CInstalledSystem::WaitForLog(const std::string& text, size_t count, std::chrono::milliseconds bound) const {
  return WaitFor([&] { return LogCount(text) >= count; }, bound);
}

std::set<std::string> CInstalledSystem::Files() const {
  std::set<std::string> files;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(dir.path(), ec), end; !ec && it != end; it.increment(ec))
    files.insert(std::filesystem::relative(it->path(), dir.path(), ec).string());
  return files;
}

std::set<std::string> CInstalledSystem::MadeOutsideWorkFolder(const std::set<std::string>& before,
                                                              const std::string& code) const {
  const std::string work = "temp/" + code;
  auto below = [](const std::string& file, const std::string& folder) {
    return file == folder || file.compare(0, folder.size() + 1, folder + "/") == 0;
  };
  std::set<std::string> made;
  for (const std::string& file : Files()) {
    if (before.count(file) || file == "bin/out.log" || file == "programs.out" || file == "sandbox.sh") continue;
    if (below(file, "cache") || below(file, "records") || below(file, work)) continue;
    made.insert(file);
  }
  return made;
}

bool CSandbox::Available() {
  static const bool available = qeltest::RunCommand("unshare -p -f --mount-proc true") == 0;
  return available;
}

namespace {

// Mounts privateTmp on /tmp in the sandbox's mount namespace, with the system's folder at its own path in it
// when that lies below /tmp.
std::string PrivateTmpMounts(const std::string& root, const std::string& privateTmp) {
  std::string script = "mount --make-rprivate / || exit 1\n";
  const std::string tmp = "/tmp/";
  if (root.compare(0, tmp.size(), tmp) == 0) {
    const std::string inside = privateTmp + "/" + root.substr(tmp.size());
    script += "mkdir -p " + ShellQuote(inside) + " && mount --bind " + ShellQuote(root) + " " + ShellQuote(inside) +
              " || exit 1\n";
  }
  return script + "mount --rbind " + ShellQuote(privateTmp) + " /tmp || exit 1\n";
}

}  // namespace

CSandbox::CSandbox(const CInstalledSystem& system, const std::vector<std::string>& commands,
                   const std::string& display, const std::string& privateTmp)
    : root_(system.dir.path()) {
  std::string script = "#!/bin/sh\n";
  // Only ever inside a mount namespace of the sandbox's own: never over the machine's /tmp.
  if (!privateTmp.empty()) script += Available() ? PrivateTmpMounts(root_, privateTmp) : "exit 1\n";
  script += "export QEL_REGISTRY_DIR=" + ShellQuote(system.RegistryFolder()) + " TMPDIR=" + ShellQuote(system.Temp()) +
            " XDG_CACHE_HOME=" + ShellQuote(system.Cache()) + "\n" +
            (display.empty() ? "unset DISPLAY" : "export DISPLAY=" + ShellQuote(display)) + "\ncd " +
            ShellQuote(system.Bin()) + "\n";
  for (const std::string& command : commands)
    script += "( " + command + " ) </dev/null >>" + ShellQuote(system.ProgramOutput()) + " 2>&1 &\n";
  // The namespace lives as long as its first process; it also takes in what its children leave behind.
  script += "while :; do sleep 1; done\n";
  std::string file = system.dir.file("sandbox.sh");
  qeltest::WriteFile(file, script);
  std::vector<std::string> argv = {"/bin/sh", file};
  if (Available()) argv.insert(argv.begin(), {"unshare", "-p", "-f", "--mount-proc", "--kill-child"});
  shell_ = qeltest::ChildProcess(argv, system.ProgramOutput());
}

CSandbox::~CSandbox() {
  shell_.Stop(SIGKILL);
  // Without a namespace, what left the process group (the client the watchdog started) is ended here.
  WaitFor([&] {
    std::vector<pid_t> left = ProcessesBelow(root_);
    for (pid_t pid : left) kill(pid, SIGKILL);
    return left.empty();
  }, std::chrono::seconds(10));
}

namespace {

// The prompt's controls laid out from its skin, as the client lays them out.
struct CSkinLayout {
  explicit CSkinLayout(const std::string& binFolder) {
    UiLib::CPaintManagerUI::SetResourcePath(qelplat::Utf8ToWide(binFolder).c_str());
    UiLib::CDialogBuilder builder;
    root = builder.Create(L"Skin\\MessageBoxDialog.xml", nullptr, nullptr, &manager, nullptr);
    if (!root) return;
    manager.AttachDialog(root);
    size = manager.GetInitSize();
    root->SetPos(RECT{0, 0, size.cx, size.cy});
  }
  UiLib::CPaintManagerUI manager;
  UiLib::CControlUI* root = nullptr;
  SIZE size{};
};

}  // namespace

TPoint PromptControlCentre(const std::string& binFolder, const wchar_t* control, int screenW, int screenH) {
  CSkinLayout skin(binFolder);
  UiLib::CControlUI* found = skin.root ? skin.manager.FindControl(control) : nullptr;
  if (!found) return TPoint{-1, -1};
  const RECT& rc = found->GetPos();
  return TPoint{screenW - skin.size.cx + (rc.left + rc.right) / 2, screenH - skin.size.cy + (rc.top + rc.bottom) / 2};
}

TPoint PromptSize(const std::string& binFolder) {
  CSkinLayout skin(binFolder);
  return TPoint{skin.size.cx, skin.size.cy};
}

}  // namespace e2e
