// What a product object does with an update it found: the update block, the package and its digest.
#include <cstring>

#include "EngineLog.h"
#include "Globals.h"
#include "ProductInfo.h"
#include "StatusTexts.h"
#include "VersionInfo.h"

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

// A package digest names the package file: only 32 hexadecimal digits may become part of a path.
bool IsPackageMd5(const std::string& md5) {
  return md5.size() == 32 && md5.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

bool CProductInfo::DoNotifyUpdate(const TVersionInfo* vi, bool full, bool downloaded) {
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  if (!vi) {
    Status(FormatText(status_text::kNoUpdate, code.c_str()));
    return false;
  }
  bool running = TryTerminateProcess(execute_file, false) == 1;
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
  if (m_record->install_mode == 0) {
    std::string text = FormatText(status_text::kInstallWithConsent, code.c_str(), version.c_str());
    QEL_ENGINE_LOG(ERROR, text, kLogFile, func);
    Status(text);
    Notify(m_record.get(), EMSG_UPDATE_READY);
    return true;
  }
  if (m_record->install_mode == 1) {
    std::string text = FormatText(status_text::kInstallSilently, code.c_str(), version.c_str());
    QEL_ENGINE_LOG(ERROR, text, kLogFile, func);
    Status(text);
    StartDoUpdateThread(m_record.get());
  }
  return true;
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

bool CProductInfo::Download(const char* zip, const char* url, const char* md5) {
  if (!IsPackageMd5(md5)) {
    QEL_ENGINE_LOG(ERROR, std::string("安装包MD5：") + md5, kLogFile, "CProductInfo::Download");
    return false;
  }
  if (CheckFile(zip, md5)) {
    QEL_ENGINE_LOG(ERROR, "文件已经存在不需要重复下载", kLogFile, "CProductInfo::Download");
    return true;
  }
  (void)url;
  // TODO: the package downloader is not in this build yet; every download fails.
  QEL_ENGINE_LOG(ERROR, "package download not available", kLogFile, "CProductInfo::Download");
  return false;
}

int CProductInfo::TryTerminateProcess(const std::string&, bool) {
  // TODO: finding and closing the product's process comes with the installer; not running until then.
  return -1;
}

bool CProductInfo::StartDoUpdateThread(const TProductInfo*) {
  // TODO: the installer is not in this build yet.
  QEL_ENGINE_LOG(ERROR, "install not available", kLogFile, "CProductInfo::StartDoUpdateThread");
  return false;
}
