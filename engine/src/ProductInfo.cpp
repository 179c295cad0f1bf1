#include "ProductInfo.h"

#include <chrono>
#include <cstring>
#include <exception>

#include "EngineLog.h"
#include "PrivateFolders.h"
#include "qelplat/fileio.h"
#include "qelplat/lasterror.h"
#include "qelplat/timeapi.h"

const char CProductInfo::kLogFile[] = "ProductInfo.cpp";

uint64_t MinutesToMs(int minutes) { return static_cast<uint64_t>(minutes < 1 ? 1 : minutes) * 60000u; }

uint64_t SecondsToMs(int seconds) { return static_cast<uint64_t>(seconds < 0 ? 0 : seconds) * 1000u; }

void SleepMs(uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

CProductInfo::CProductInfo() : m_record(std::make_shared<TProductInfo>()) {
  memset(m_record.get(), 0, sizeof(TProductInfo));
}

CProductInfo::~CProductInfo() {
  if (m_record) delete m_record->update_info;
}

void CProductInfo::SetCallback(UpdateMessageCallback cb) {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  m_callback = cb;
}

void CProductInfo::SetBaseFolder(const std::string& folder) {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  m_baseFolder = folder;
}

void CProductInfo::SetServerUrl(const std::string& url) {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  m_serverUrl = url;
}

void CProductInfo::ClearResource() {
  // The folder keeps the packages between checks: a verified package is not fetched again.
  if (m_workFolder.empty()) return;
  QEL_ENGINE_LOG(ERROR, "删除文件夹:" + m_workFolder, kLogFile, "CProductInfo::ClearResource");
}

bool CProductInfo::SetProductInfo(const TProductInfo* rec, bool /*wait*/) {
  if (!rec) return false;
  // Always waits: a refresh that went on unlocked could change texts a check is reading.
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  ClearResource();
  TUpdateInfo* own = m_record->update_info;
  *m_record = *rec;
  // The update block belongs to this object; a registry record carries none and a foreign one is not ours.
  m_record->update_info = own;
  m_record->next = nullptr;
  execute_file.assign(rec->execute_file, strnlen(rec->execute_file, sizeof rec->execute_file));
  code.assign(rec->code, strnlen(rec->code, sizeof rec->code));
  current_version.assign(rec->current_version, strnlen(rec->current_version, sizeof rec->current_version));
  notify_type = rec->notify_type;
  check_timespan = rec->check_timespan;
  check_retry_count = rec->check_retry_count;
  check_retry_timespan = rec->check_retry_timespan;
  download_failed_count = rec->download_failed_count;
  download_failed_max_count = rec->download_failed_max_count;
  download_retry_count = rec->download_retry_count;
  download_retry_timespan = rec->download_retry_timespan;
  m_downloadType = 0;
  // Without a base folder there is no work folder: never one relative to wherever the process stands.
  m_workFolder = m_baseFolder.empty() || code.empty() ? std::string() : m_baseFolder + code;
  m_workFolderReady = MakeWorkFolder("CProductInfo::SetProductInfo");
  return true;
}

bool CProductInfo::TryRefresh(const TProductInfo& rec, UpdateMessageCallback cb, const std::string& baseFolder,
                              const std::string& serverUrl) {
  std::unique_lock<std::recursive_mutex> hold(m_workLock, std::try_to_lock);
  if (!hold.owns_lock()) return false;
  m_callback = cb;
  m_baseFolder = baseFolder;
  m_serverUrl = serverUrl;
  return SetProductInfo(&rec, true);
}

bool CProductInfo::WorkFolderReady() const { return m_workFolderReady; }

bool CProductInfo::MakeWorkFolder(const char* func) {
  if (m_workFolder.empty()) return false;
  if (!qelplat::CreatePrivateDirectory(m_workFolder)) ReportFolderError(func);
  return WorkFolderUsable(func);
}

void CProductInfo::ReportFolderError(const char* func) {
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) {
    QEL_ENGINE_LOG(ERROR, FormatText("创建目录失败：%s已存在", m_workFolder.c_str()), kLogFile, func);
    return;
  }
  if (error == ERROR_PATH_NOT_FOUND) {
    QEL_ENGINE_LOG(ERROR, FormatText("创建目录失败：%s路径不正确，需先创建父目录", m_workFolder.c_str()), kLogFile,
                   func);
    return;
  }
  // Access denied included: a folder that cannot be made keeps the product from being checked until it can,
  // and never stops the host.
  std::string text = FormatText("创建目录失败：%s,错误代码：%d", m_workFolder.c_str(), static_cast<int>(error));
  QEL_ENGINE_LOG(ERROR, text, kLogFile, func);
}

bool CProductInfo::WorkFolderUsable(const char* func) {
  // Another user who made this folder first, or may write to it, could swap the package or the installer
  // between its check and its start, and have their own program run as this user.
  std::string problem =
      qelplat::DescribeFolderTrust(qelplat::CheckPrivateFolder(m_workFolder), qelplat::TRUST_IN_CHINESE);
  std::string report;
  if (!problem.empty()) report = "工作目录不安全，不下载也不运行安装包：" + m_workFolder + "，原因：" + problem;
  if (report != m_workFolderReport && !report.empty()) QEL_ENGINE_LOG(ERROR, report, kLogFile, func);
  m_workFolderReport = report;
  return problem.empty();
}

bool CProductInfo::StartCheckThread() {
  // The first check starts at once and holds the work lock for as long as it takes (a download included):
  // nothing here may wait for that lock, or the service pass would wait for every new product's check.
  // Whichever service loop comes first starts it, once.
  bool started = false;
  if (!m_checkThreadStarted.compare_exchange_strong(started, true)) return false;
  m_checkThread = std::make_shared<std::thread>([this] { CheckThreadProc(); });
  m_checkThread->detach();
  return true;
}

void CProductInfo::CheckThreadProc() {
  for (;;) {
    try {
      CheckUpdate(CHECK_AS_CONFIGURED, false);
    } catch (...) {
      // A check never ends the thread: the next one comes at the next interval.
    }
    SleepMs(MinutesToMs(CheckTimespan()));
  }
}

bool CProductInfo::Notify(const void* payload, EMsgType type) {
  if (type == EMSG_STATUS && payload) EngineLogBare(QEL::INFO, static_cast<const char*>(payload));
  UpdateMessageCallback cb = m_callback;
  if (!cb) return true;
  std::lock_guard<std::recursive_mutex> hold(m_callbackLock);
  cb(type, const_cast<void*>(payload));
  return true;
}

void CProductInfo::Status(const std::string& text) { Notify(text.c_str(), EMSG_STATUS); }

std::string CProductInfo::WorkFolder() {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  return m_workFolder;
}

int CProductInfo::CheckTimespan() {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  return check_timespan;
}

int CProductInfo::DownloadFailedCount() {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  return download_failed_count;
}

std::string CProductInfo::CurrentVersion() {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  return current_version;
}

TProductInfo CProductInfo::RecordCopy() {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  return *m_record;
}
