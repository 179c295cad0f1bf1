// Fetching a product's package: the attempts, each on its own downloader and I/O service, and the checks of
// size and digest after each.
#include <boost/asio/io_context.hpp>

#include <cstring>

#include "EngineLog.h"
#include "Globals.h"
#include "ProductInfo.h"
#include "StatusTexts.h"
#include "qelhttp/http_download.hpp"
#include "qelplat/fileio.h"

namespace {

const char kDownloadFunc[] = "CProductInfo::Download";

// The callbacks' user value, alive for one attempt. Products download at once on their own threads: the
// error line names the product it belongs to.
struct TDownloadUser {
  CProductInfo* product;
  CHttpDownload* download;
  std::string product_code;
};

// One connection, one request from byte 0, no resume file: a package is always fetched whole.
qelhttp::settings PackageSettings() {
  qelhttp::settings settings;
  settings.download_rate_limit = -1;
  settings.connections_limit = 5;
  settings.piece_size = -1;
  settings.time_out = 11;
  settings.pieces_per_request = 10;
  settings.meta_file.clear();
  settings.use_meta_url = true;
  settings.single_connection = true;
  settings.storage_constructor = nullptr;
  return settings;
}

}  // namespace

// Runs without the downloader's locks held, so it may stop the download before reporting.
void GetDownloadErrorInfoProc(int code, const char* message, void* user) {
  auto* owner = static_cast<TDownloadUser*>(user);
  if (!owner) return;
  if (owner->download) owner->download->stop();
  QEL_ENGINE_LOG(ERROR,
                 "错误代码：" + std::to_string(code) + ", " + "错误信息：" + (message ? message : "") + ", 产品：" +
                     owner->product_code,
                 CProductInfo::kLogFile, "GetDownloadErrorInfoProc");
}

void DownloadProgressProc(CHttpDownload::progress_info* info, void* user) {
  auto* owner = static_cast<TDownloadUser*>(user);
  if (owner && owner->product) owner->product->Notify(info, EMSG_PROGRESS);
}

bool CProductInfo::CheckFile(const char* path, const char* md5) {
  char digest[256] = {};
  g_Md5.GetMD5OfFile(path, digest);
  // A file that cannot be read has no digest, and no digest matches it (an empty expected one included).
  bool equal = digest[0] != '\0' && strcmp(md5, digest) == 0;
  QEL_ENGINE_LOG(DEBUG, std::string(equal ? "校验通过," : "校验失败,") + "文件MD5值：" + md5 + "，计算MD5值：" + digest,
                 kLogFile, "CProductInfo::CheckFile");
  return equal;
}

// The downloader and its I/O service end with this call on every path, an error raised by start included.
void CProductInfo::DownloadOnce(const char* zip, const char* url, int64_t* expected, int64_t* got) {
  boost::asio::io_context io;
  CHttpDownload download(io);
  TDownloadUser user{this, &download, code};
  download.error_callback = GetDownloadErrorInfoProc;
  download.progress_callback = DownloadProgressProc;
  download.callback_user = &user;
  download.start(zip, PackageSettings(), url);
  io.run();
  download.wait_for_complete();
  *expected = download.file_size;
  *got = download.bytes_download();
}

bool CProductInfo::Download(const char* zip, const char* url, const char* md5) {
  if (!IsPackageMd5(md5)) {
    QEL_ENGINE_LOG(ERROR, std::string("安装包MD5：") + md5, kLogFile, kDownloadFunc);
    return false;
  }
  if (CheckFile(zip, md5)) {
    QEL_ENGINE_LOG(ERROR, "文件已经存在不需要重复下载", kLogFile, kDownloadFunc);
    return true;
  }
  DeleteFileA(zip);
  const int attempts = download_retry_count;
  for (int i = 1; i <= attempts; ++i) {
    std::string text = FormatText(status_text::kDownloadAttempt, code.c_str(), i, attempts, url, zip);
    QEL_ENGINE_LOG(DEBUG, text, kLogFile, kDownloadFunc);
    Status(text);
    int64_t expected = -1;
    int64_t got = 0;
    DownloadOnce(zip, url, &expected, &got);
    std::string failure;
    if (expected == got) {
      QEL_ENGINE_LOG(ERROR, FormatText("文件大小:%lld", static_cast<long long>(expected)), kLogFile, kDownloadFunc);
      if (CheckFile(zip, md5)) {
        text = FormatText(status_text::kDownloadDone, code.c_str());
        QEL_ENGINE_LOG(ERROR, text, kLogFile, kDownloadFunc);
        Status(text);
        return true;
      }
      failure = FormatText(status_text::kDigestMismatch, code.c_str());
      QEL_ENGINE_LOG(ERROR, failure, kLogFile, kDownloadFunc);
      DeleteFileA(zip);
    } else {
      DeleteFileA(zip);
      failure = FormatText(status_text::kSizeMismatch, code.c_str(), static_cast<long long>(expected),
                           static_cast<long long>(got));
      QEL_ENGINE_LOG(ERROR, failure, kLogFile, kDownloadFunc);
    }
    Status(failure);
    SleepMs(SecondsToMs(download_retry_timespan));
  }
  return false;
}
