// What a product object does with an update it found: the update block, then the install on a thread of its
// own (close the product, unpack the package, start its installer, or hand over to the client's batch file).
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "ClientConfig.h"
#include "EngineLog.h"
#include "Globals.h"
#include "ProductInfo.h"
#include "QelCompress/QelCompress.h"
#include "StatusTexts.h"
#include "UnpackStage.h"
#include "VersionInfo.h"
#include "qelplat/codepage.h"
#include "qelplat/fileio.h"
#include "qelplat/lasterror.h"
#include "qelplat/process.h"
#include "qelplat/shell.h"

namespace {

// Cuts a server text to the field, keeping it terminated and never splitting a UTF-8 character.
void CopyField(char* field, size_t size, const std::string& text) {
  size_t n = text.size() < size ? text.size() : size - 1;
  if (n < text.size()) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  memcpy(field, text.data(), n);
  field[n] = '\0';
}

}  // namespace

bool IsPackageMd5(const std::string& md5) {
  return md5.size() == 32 && md5.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

bool CProductInfo::DoNotifyUpdate(const TVersionInfo* vi, bool full, bool downloaded) {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  if (!vi) {
    Status(FormatText(status_text::kNoUpdate, code.c_str()));
    return false;
  }
  bool running = TryTerminateProcess(execute_file, false) == TERMINATE_LEFT_RUNNING;
  delete m_record->update_info;
  m_record->update_info = nullptr;
  std::unique_ptr<TUpdateInfo> info(new TUpdateInfo);
  memset(info.get(), 0, sizeof(TUpdateInfo));
  CopyField(info->new_version, sizeof info->new_version, vi->product_version);
  CopyField(info->update_time, sizeof info->update_time, vi->update_time);
  CopyField(info->update_description, sizeof info->update_description, vi->update_description);
  CopyField(info->package_url, sizeof info->package_url, full ? vi->setup_url : vi->update_url);
  CopyField(info->package_md5, sizeof info->package_md5, full ? vi->setup_md5 : vi->update_md5);
  CopyField(info->package_file, sizeof info->package_file, full ? "setup.exe" : "update.exe");
  info->update_type = vi->update_type;
  info->reserved1 = 0;
  info->package_downloaded = downloaded;
  info->product_running = running;
  m_record->update_info = info.release();
  const char* func = "CProductInfo::DoNotifyUpdate";
  std::string version(m_record->update_info->new_version);
  if (m_record->install_mode == INSTALL_AFTER_CONSENT) {
    std::string text = FormatText(status_text::kInstallWithConsent, code.c_str(), version.c_str());
    QEL_ENGINE_LOG(ERROR, text, kLogFile, func);
    Status(text);
    Notify(m_record.get(), EMSG_UPDATE_READY);
    return true;
  }
  if (m_record->install_mode == INSTALL_SILENTLY) {
    std::string text = FormatText(status_text::kInstallSilently, code.c_str(), version.c_str());
    QEL_ENGINE_LOG(ERROR, text, kLogFile, func);
    Status(text);
    StartDoUpdateThread(m_record.get());
  }
  return true;
}


namespace {

const char kInstallFunc[] = "CProductInfo::DoUpdate";
const char kTerminateFunc[] = "CProductInfo::TryTerminateProcess";
const char kClientImage[] = "Tavrin.exe";
const char kSilentParameters[] = " /verysilent /norestart";
const DWORD kErrorInvalidName = 123;

// What an install thread owns: its copy of the record and of the record's update block.
struct TInstallJob {
  TProductInfo record;
  std::unique_ptr<TUpdateInfo> info;
};

std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

// The engine makes only these two; a record from elsewhere must not name any other file to delete and run.
bool IsInstallerName(const std::string& name) { return name == "setup.exe" || name == "update.exe"; }

// Paths reach the archive library as the bytes the engine built them from: a folder name that is no valid
// text (a TMPDIR holding a Latin-1 byte) must name the same folder there, not a look-alike.
std::wstring AnsiToWide(const char* text) { return qelplat::PathToWide(text); }

// The one line a failed unpack leaves in the log, without the usual suffix.
void LogUnpackFailed(const char* archive) { EngineLogBare(QEL::ERROR, FormatText("解压失败. 路径: %s", archive)); }

// Every process id: the list is asked for again with a larger buffer until it is not full.
bool AllProcessIds(std::vector<DWORD>* ids) {
  ids->assign(256, 0);
  for (;;) {
    DWORD capacity = static_cast<DWORD>(ids->size() * sizeof(DWORD));
    DWORD needed = 0;
    if (!EnumProcesses(ids->data(), capacity, &needed)) return false;
    if (needed < capacity) {
      ids->resize(needed / sizeof(DWORD));
      return true;
    }
    ids->resize(ids->size() * 2);
  }
}

struct TProcessImage {
  std::string base_name;
  std::string full_path;
};

bool ReadProcessImage(DWORD id, TProcessImage* image) {
  std::unique_ptr<void, BOOL (*)(HANDLE)> process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id), CloseHandle);
  if (!process) return false;
  HMODULE module = nullptr;
  DWORD needed = 0;
  if (!EnumProcessModules(process.get(), &module, sizeof(module), &needed)) return false;
  // Room for any Linux path: a cut path could look like another program's.
  char base[4096] = "<unknown>";
  char full[4096] = "<unknown>";
  GetModuleBaseNameA(process.get(), module, base, sizeof(base));
  GetModuleFileNameExA(process.get(), module, full, sizeof(full));
  image->base_name = base;
  image->full_path = full;
  return true;
}

// The taskkill line for an image name. A name with blanks or signs is quoted (backslashes before the closing
// quote doubled, so they stay themselves); "%" and '"' cannot be passed safely, so no line is made.
bool TaskKillCommand(const std::string& image, std::string* command) {
  if (image.find_first_of("\"%") != std::string::npos) return false;
  *command = "taskkill  /F /IM ";
  if (image.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") ==
      std::string::npos) {
    *command += image;
    return true;
  }
  size_t trailing = image.size() - (image.find_last_not_of('\\') + 1);
  *command += "\"" + image + std::string(trailing, '\\') + "\"";
  return true;
}

// A quote in the path would close the quoted installer early, and a line break would begin a command of its
// own: the batch would then start whatever the rest of the path names, after it has ended the client.
bool CanQuoteInBatch(const std::string& path) {
  for (char c : path) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

// A batch file reads "%" as the start of a variable; "%%" stands for one.
std::string DoublePercents(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

// Whether a program from the work folder still runs: an installer this product started, perhaps by a client
// that has been restarted since.
bool ProgramRunsFrom(const std::string& folder) {
  std::vector<DWORD> ids;
  if (folder.empty() || !AllProcessIds(&ids)) return false;
  for (DWORD id : ids)
    if (qelplat::RunsProgramBelow(id, folder)) return true;
  return false;
}

}  // namespace

ETerminateResult CProductInfo::TryTerminateProcess(const std::string& path, bool kill) {
  if (path.empty()) return TERMINATE_FAILED;
  // A process shows its program with every link resolved: a product started through a link is found by
  // where the link leads.
  const std::string running = qelplat::RunningImagePath(path);
  std::vector<DWORD> ids;
  if (!AllProcessIds(&ids)) return TERMINATE_FAILED;
  for (DWORD id : ids) {
    TProcessImage image;
    if (!ReadProcessImage(id, &image) || image.full_path != running) continue;
    if (image.base_name == kClientImage) return TERMINATE_IS_THE_CLIENT;
    if (!kill) return TERMINATE_LEFT_RUNNING;
    std::string command;
    if (!TaskKillCommand(image.base_name, &command)) {
      SetLastError(kErrorInvalidName);
      return TERMINATE_FAILED;
    }
    QEL_ENGINE_LOG(ERROR, "关闭进程，进程文件" + path, kLogFile, kTerminateFunc);
    qelplat::RunSystemCommand(command.c_str());
    return TERMINATE_KILLED;
  }
  return TERMINATE_NOT_RUNNING;
}

bool CProductInfo::StartDoUpdateThread(const TProductInfo* rec) {
  if (!rec) return false;
  try {
    // Copied before the thread exists: the caller's record may change or go once this returns.
    std::unique_ptr<TInstallJob> job(new TInstallJob);
    job->record = *rec;
    job->record.next = nullptr;
    if (rec->update_info) job->info.reset(new TUpdateInfo(*rec->update_info));
    job->record.update_info = job->info.get();
    std::thread([this, job = std::move(job)] { DoUpdate(job->record); }).detach();
    return true;
  } catch (const std::exception&) {
    return false;  // no memory or no thread: nothing was started
  }
}

bool CProductInfo::StartInstaller(const std::string& path, bool silent) {
  SHELLEXECUTEINFOA info;
  memset(&info, 0, sizeof(info));
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = nullptr;
  info.lpVerb = "open";
  info.lpFile = path.c_str();
  info.lpParameters = silent ? kSilentParameters : nullptr;
  info.lpDirectory = nullptr;
  info.nShow = 0;  // SW_HIDE
  if (!ShellExecuteExA(&info)) return false;
  DWORD error = GetLastError();
  if (info.hProcess) CloseHandle(info.hProcess);
  SetLastError(error);
  return true;
}

std::string CProductInfo::WriteSelfUpdateBat(const std::string& installer) {
  std::string path = m_workFolder + "/" + "SelfUpdate.bat";
  if (!CanQuoteInBatch(installer)) {
    QEL_ENGINE_LOG(ERROR, "安装包路径含有双引号或控制字符，无法在批处理文件中安全引用，不写入批处理文件：" +
                              PrintableCode(installer),
                   kLogFile, "CProductInfo::WriteSelfUpdateBat");
    return std::string();
  }
  // Binary: the line end is CR LF on every system, and the last line has none.
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "wb"), fclose);
  if (!file) return std::string();
  std::string text = std::string("taskkill /F /IM ") + kClientImage + "\r\n" + "start \"\" \"" +
                     DoublePercents(installer) + "\"";
  bool written = fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  if (fclose(file.release()) != 0 || !written) return std::string();
  return path;
}

bool CProductInfo::Unpack(const char* archive, const char* folder) {
  DWORD attributes = GetFileAttributesA(archive);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  std::wstring wideArchive = AnsiToWide(archive);
  std::wstring wideFolder = AnsiToWide(folder);
  if (QELDeCompress(wideArchive.c_str(), wideFolder.c_str()) == 0) return true;
  LogUnpackFailed(archive);
  return false;
}

bool CProductInfo::UnpackInPlace(const std::string& zip, const std::string& installer) {
  CUnpackStage stage(m_workFolder);
  // Without a staging folder nothing is unpacked: an empty destination would be the process's own folder.
  if (stage.Folder().empty()) {
    LogUnpackFailed(zip.c_str());
    return false;
  }
  if (!Unpack(zip.c_str(), stage.Folder().c_str())) return false;
  if (!stage.Fits()) {
    LogUnpackFailed(zip.c_str());
    return false;
  }
  // An installer the package does not bring must not be taken for its own: it goes with the move, and comes
  // back with everything else when the move fails.
  if (stage.MoveIntoPlace(installer.substr(installer.find_last_of('/') + 1))) return true;
  const TMoveFailure& failure = stage.Failure();
  std::string text = FormatText("安装包内容移入工作目录失败：%s,错误代码：%u", failure.path.c_str(),
                                static_cast<unsigned>(failure.error));
  if (stage.Unrestored().empty()) {
    QEL_ENGINE_LOG(ERROR, text + "，工作目录已还原", kLogFile, kInstallFunc);
  } else {
    QEL_ENGINE_LOG(ERROR, text + "，工作目录未能完全还原", kLogFile, kInstallFunc);
    for (const TMoveFailure& item : stage.Unrestored()) {
      QEL_ENGINE_LOG(ERROR,
                     FormatText("未能还原：%s,错误代码：%u，暂存目录%s已保留", item.path.c_str(),
                                static_cast<unsigned>(item.error), stage.Folder().c_str()),
                     kLogFile, kInstallFunc);
    }
  }
  LogUnpackFailed(zip.c_str());
  return false;
}

bool CProductInfo::DoUpdate(TProductInfo r) {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  const TUpdateInfo* info = r.update_info;
  if (!info) {
    QEL_ENGINE_LOG(ERROR, "版本信息为空", kLogFile, kInstallFunc);
    return true;
  }
  try {
    // A folder that cannot be used was named in the log with its reason; nothing is downloaded into it, so
    // no download fails either.
    if (MakeWorkFolder(kInstallFunc)) FetchAndInstall(r, *info);
  } catch (const std::exception& e) {
    QEL_ENGINE_LOG(ERROR, e.what(), kLogFile, kInstallFunc);
  } catch (...) {
    // Nothing may leave a detached thread: the version still moves on, as after any failed install.
  }
  current_version = FieldText(info->new_version, sizeof(info->new_version));
  return true;
}

void CProductInfo::FetchAndInstall(const TProductInfo& r, const TUpdateInfo& info) {
  std::string url = FieldText(info.package_url, sizeof(info.package_url));
  std::string md5 = FieldText(info.package_md5, sizeof(info.package_md5));
  std::string file = FieldText(info.package_file, sizeof(info.package_file));
  // A block naming no package of this engine's making leaves nothing to fetch or run.
  bool usable = IsPackageMd5(md5) && IsInstallerName(file);
  std::string zip = m_workFolder + "/" + md5 + ".zip";
  std::string installer = m_workFolder + "/" + file;
  bool present = usable && info.package_downloaded;
  if (usable && !present) {
    try {
      present = Download(zip.c_str(), url.c_str(), md5.c_str());
    } catch (const std::exception&) {
      present = false;  // a URL that does not parse
    }
  }
  if (!present) {
    QEL_ENGINE_LOG(ERROR, "下载失败", kLogFile, kInstallFunc);
    QEL_ENGINE_LOG(ERROR, FormatText("文件%s下载失败", url.c_str()), kLogFile, kInstallFunc);
    return;
  }
  Install(r, zip, installer);
}

void CProductInfo::Install(const TProductInfo& r, const std::string& zip, const std::string& installer) {
  // One installer per product: the product is not closed again, nor the folder unpacked under a running
  // installer, nor a second one started beside it.
  if (ProgramRunsFrom(m_workFolder)) {
    QEL_ENGINE_LOG(WARN, "安装程序仍在运行，等待下次检查：" + m_workFolder, kLogFile, kInstallFunc);
    return;
  }
  ETerminateResult closed = TryTerminateProcess(execute_file, true);
  // Taken before the unpacking below sets error numbers of its own.
  DWORD closeError = GetLastError();
  bool unpacked = UnpackInPlace(zip, installer);
  if (!DeleteFileA(zip.c_str())) {
    int error = static_cast<int>(GetLastError());
    QEL_ENGINE_LOG(ERROR, FormatText("删除文件%s,失败，错误代码：%d,错误描述：%d", zip.c_str(), error, error), kLogFile,
                   kInstallFunc);
  }
  if (closed == TERMINATE_NOT_RUNNING || closed == TERMINATE_KILLED) {
    bool silent = r.install_mode == INSTALL_SILENTLY;
    if (silent) QEL_ENGINE_LOG(ERROR, "静默安装" + installer, kLogFile, kInstallFunc);
    // After a failed unpack the package's installer is not there: an older one that still is never runs.
    if (!unpacked) SetLastError(ERROR_FILE_NOT_FOUND);
    if (!unpacked || !StartInstaller(installer, silent)) {
      EngineLogBare(QEL::ERROR, FormatText("启动安装包失败,错误码：%u", static_cast<unsigned>(GetLastError())));
    } else if (!silent) {
      QEL_ENGINE_LOG(ERROR, "启动安装包成功", kLogFile, kInstallFunc);
    }
    return;
  }
  if (closed == TERMINATE_IS_THE_CLIENT) {
    // The client is not ended for a package that did not unpack.
    if (!unpacked) return;
    std::string batch = WriteSelfUpdateBat(installer);
    if (batch.empty()) {
      QEL_ENGINE_LOG(ERROR, "更新客户端自升级，创建BAT文件失败", kLogFile, kInstallFunc);
      return;
    }
    // Written before the batch starts: the batch ends this process at once, and the line with it.
    QEL_ENGINE_LOG(ERROR, "更新客户端自升级", kLogFile, kInstallFunc);
    StartInstaller(batch, true);
    return;
  }
  QEL_ENGINE_LOG(ERROR, FormatText("结束进程失败，错误代码：%d", static_cast<int>(closeError)), kLogFile,
                 kInstallFunc);
}
