#pragma once
// One configured product: its settings taken from the registry record, a private copy of that record, its
// work folder, its locks, the host's callback, and the thread that checks for updates on its schedule.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "QelUpdate/QelUpdate.h"

struct TVersionInfo;

// What a check does with an update it finds. 0..2 are the registry's notify_type values, kept as numbers in
// the record; any other notify_type finds updates and does nothing with them.
enum ECheckMode : int {
  CHECK_AS_CONFIGURED = -1,        // the product's own notify_type
  CHECK_INSTALL_SILENTLY = 0,      // download, then install without asking
  CHECK_NOTIFY_ONLY = 1,           // tell the host; the download waits for the user's consent
  CHECK_DOWNLOAD_THEN_NOTIFY = 2,  // download first, then tell the host
};

// The record's install_mode: how the install thread starts the installer.
enum EInstallMode : int {
  INSTALL_AFTER_CONSENT = 0,  // the host shows the prompt; the installer runs plainly once the user agrees
  INSTALL_SILENTLY = 1,       // started at once with the silent parameters
};

// What the search for a product's running program found (and did).
enum ETerminateResult : int {
  TERMINATE_FAILED = -1,         // no path, the process list could not be read, or no safe kill command
  TERMINATE_NOT_RUNNING = 0,
  TERMINATE_LEFT_RUNNING = 1,    // found; no kill was asked
  TERMINATE_KILLED = 2,          // found; every process of its file name was killed
  TERMINATE_IS_THE_CLIENT = 3,   // found, and it is the update client itself: nothing killed
};

class CProductInfo {
 public:
  // The source named in this object's log lines.
  static const char kLogFile[];

  CProductInfo();
  virtual ~CProductInfo();
  CProductInfo(const CProductInfo&) = delete;
  CProductInfo& operator=(const CProductInfo&) = delete;

  // Refreshes the settings from a registry record (the object's own update block is kept) and makes the
  // work folder (none without a base folder). False only for a null record.
  bool SetProductInfo(const TProductInfo* rec, bool wait);
  // The service pass's refresh: the callback, base folder and server URL, then SetProductInfo, all under one
  // hold of the work lock taken without waiting. False, with nothing changed, while a check or an install
  // holds the lock.
  bool TryRefresh(const TProductInfo& rec, UpdateMessageCallback cb, const std::string& baseFolder,
                  const std::string& serverUrl);
  // Whether the last refresh left a work folder that may be used.
  bool WorkFolderReady() const;
  // Starts the check thread unless it was started before; true when this call started it.
  bool StartCheckThread();

  // Each waits for the work lock.
  void SetCallback(UpdateMessageCallback cb);
  void SetBaseFolder(const std::string& folder);
  void SetServerUrl(const std::string& url);

  // Logs a status text (type 1) bare at INFO, then hands the payload to the callback under the callback lock.
  bool Notify(const void* payload, EMsgType type);

  // One check, doing with an update what the mode says.
  bool CheckUpdate(ECheckMode mode, bool wait);
  std::string BuildRequestUrl(const std::string& server);
  std::unique_ptr<TVersionInfo> RequestVersionInfo(const std::string& url);
  std::unique_ptr<TVersionInfo> ParserResponseInfo(const std::string& text);

  bool DoNotifyUpdate(const TVersionInfo* vi, bool full, bool downloaded);
  // The package fetched into zip with its attempts and pauses; true when it is there with the right digest.
  bool Download(const char* zip, const char* url, const char* md5);
  bool CheckFile(const char* path, const char* md5);

  // Looks for the process running the executable at path and, when kill is asked, ends it.
  ETerminateResult TryTerminateProcess(const std::string& path, bool kill);
  // Installs on a thread of its own, from a copy of the record and its update block taken before it starts.
  bool StartDoUpdateThread(const TProductInfo* rec);
  // The install itself: download if needed, close the product, unpack, start the installer. The record's
  // update block is the caller's; it is only read.
  bool DoUpdate(TProductInfo r);
  // The batch file that ends the client and starts its installer; its path, empty when it cannot be written.
  std::string WriteSelfUpdateBat(const std::string& installer);
  // False when the archive was there but could not be unpacked whole.
  bool Unpack(const char* archive, const char* folder);
  // Unpacks the package into the work folder all or nothing (see CUnpackStage); the old installer goes only
  // when the package's contents take their place.
  bool UnpackInPlace(const std::string& zip, const std::string& installer);

  // For tests and the service loop: a consistent view of what the object holds.
  std::string WorkFolder();
  int CheckTimespan();
  int DownloadFailedCount();
  TProductInfo RecordCopy();
  std::string CurrentVersion();

 private:
  void CheckThreadProc();
  void ClearResource();
  // Creates the work folder and reports a failure as the function func; then as WorkFolderUsable.
  bool MakeWorkFolder(const char* func);
  // True when the work folder is a real folder of this user's that no one else may write to: only then is
  // anything fetched into it or run from it. Why it is not is logged once per change.
  bool WorkFolderUsable(const char* func);
  // The failed creation of the work folder, by GetLastError.
  void ReportFolderError(const char* func);
  // One download attempt on its own I/O service; the announced and the received sizes.
  void DownloadOnce(const char* zip, const char* url, int64_t* expected, int64_t* got);
  // The package (downloaded when it is not there yet), then the install; in a work folder that may be used.
  void FetchAndInstall(const TProductInfo& r, const TUpdateInfo& info);
  // Close the product, unpack the package once and start what it holds.
  void Install(const TProductInfo& r, const std::string& zip, const std::string& installer);
  bool StartInstaller(const std::string& path, bool silent);
  // The status text (type 1) for this product, formatted by the caller.
  void Status(const std::string& text);

  std::shared_ptr<std::thread> m_checkThread;
  std::atomic<bool> m_checkThreadStarted{false};
  std::atomic<bool> m_workFolderReady{false};
  // The work lock serialises everything that reads or changes this product's settings, package, work
  // folder and update block: a whole check (every attempt of the request, the pauses between them, the
  // package download with its own attempts and pauses, and a prompt the host shows from inside the
  // callback), a whole install (download, close, unpack, installer start), and each refresh from the
  // registry. It is therefore held for minutes (or hours) at a time, and the service pass never waits for
  // it. Recursive: a host may call back into the engine from inside a message on the same thread.
  std::recursive_mutex m_workLock;
  std::recursive_mutex m_callbackLock;
  std::atomic<UpdateMessageCallback> m_callback{nullptr};
  std::string m_serverUrl;
  std::string m_baseFolder;
  std::string m_workFolder;
  std::string m_workFolderReport;  // the last "work folder unusable" line logged, empty when usable
  std::string execute_file;
  std::string code;
  std::string current_version;
  std::string m_downloadVersion;
  int m_downloadType = 0;
  int notify_type = 0;
  int check_timespan = 0;
  int check_retry_count = 0;
  int check_retry_timespan = 0;
  int download_failed_count = 0;
  int download_failed_max_count = 0;
  int download_retry_count = 0;
  int download_retry_timespan = 0;
  std::shared_ptr<TProductInfo> m_record;
};

// A package digest names the package file: only 32 hexadecimal digits may become part of a path.
bool IsPackageMd5(const std::string& md5);

// Minutes or seconds from the registry as a pause in milliseconds, computed in 64 bits: minute intervals
// below 1 count as 1 (no busy loop), second pauses below 0 count as 0.
uint64_t MinutesToMs(int minutes);
uint64_t SecondsToMs(int seconds);
void SleepMs(uint64_t ms);
