// The update check of one product: ask the server, judge its answer, then notify, download or install.
#include <json/json.h>

#include <cstring>
#include <sstream>
#include <stdexcept>

#include "CheckRequest.h"
#include "EngineLog.h"
#include "Globals.h"
#include "ProductInfo.h"
#include "StatusTexts.h"
#include "VersionInfo.h"
#include "qelplat/codepage.h"
#include "qelplat/fileio.h"
#include "qelplat/lasterror.h"
#include "qelplat/privatefolder.h"

namespace {

const char kDefaultCheckUrl[] = "http://localhost/checkVersionInfo.html";
const char kCheckFunc[] = "CProductInfo::CheckUpdate";
const char kParserFunc[] = "CProductInfo::ParserResponseInfo";

std::string OrDefault(const std::string& value, const char* fallback) { return value.empty() ? fallback : value; }

// Server texts are UTF-8; the engine's narrow texts are the system code page, UTF-8 here, so only invalid
// bytes change.
std::string Utf8ToAnsi(const std::string& text) { return qelplat::SanitizeUtf8(text); }

std::string JsonText(const Json::Value& value) {
  if (!value.isString()) Json::throwLogicError("Type is not convertible to string");
  return value.asString();
}

std::string VersionReport(const TVersionInfo& vi) {
  const std::string indent(46, ' ');
  std::string text = "获取版本信息成功\n";
  text += indent + "产品编号：" + vi.product_code + "\n";
  text += indent + "产品名称：" + vi.product_name + "\n";
  text += indent + "版本号：" + vi.product_version + "\n";
  text += indent + "更新时间：" + vi.update_time + "\n";
  text += indent + "更新内容：" + vi.update_description + "\n";
  text += indent + "更新类型：" + std::to_string(vi.update_type) + "\n";
  text += indent + "安装包URL：" + vi.setup_url + "\n";
  text += indent + "安装包MD5：" + vi.setup_md5 + "\n";
  text += indent + "更新包URL：" + vi.update_url + "\n";
  text += indent + "更新包MD5：" + vi.update_md5;
  return text;
}

// An answer in the log is cut to its first 1 KiB, whole characters only: a server that sends megabytes of
// garbage must not fill the disk with log lines, one per attempt of every product.
std::string LoggedAnswer(const std::string& text) {
  const size_t kLoggedBytes = 1024;
  if (text.size() <= kLoggedBytes) return text;
  size_t n = kLoggedBytes;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n) + FormatText("……（共%zu字节）", text.size());
}

std::string FailedDownloadsText(int count, size_t spaces, const std::string& url) {
  return "连续" + std::to_string(count) + std::string(spaces, ' ') + "次下载失败，URL：" + url;
}

}  // namespace

std::string CProductInfo::BuildRequestUrl(const std::string& server) {
  std::string url = OrDefault(server, kDefaultCheckUrl);
  url += "?product_code=" + OrDefault(code, "QEL_TEST");
  url += "&product_version=" + OrDefault(current_version, "1.0.1");
  url += "&Client_id=" + OrDefault(ClientMacText(), "FF-FF-FF-FF-FF-FF");
  url += "&Client_ip=" + OrDefault(ClientIpText(), "127.0.0.1");
  url += "&download_type=" + (m_downloadType < 0 ? std::string("0") : std::to_string(m_downloadType));
  url += "&download_version=" + OrDefault(m_downloadVersion, "1.0.1");
  return url;
}

std::unique_ptr<TVersionInfo> CProductInfo::ParserResponseInfo(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  bool parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  if (!parsed || !(root.isObject() || root.isArray()) || root.empty()) {
    QEL_ENGINE_LOG(ERROR, "返回数据格式不正确，返回内容：" + LoggedAnswer(text), kLogFile, kParserFunc);
    return nullptr;
  }
  Json::StreamWriterBuilder writer;
  QEL_ENGINE_LOG(DEBUG, "服务器响应内容：" + LoggedAnswer(Json::writeString(writer, root)), kLogFile, kParserFunc);
  // A top-level array answers no key: the access raises the library's type error, as a wrong type does.
  const Json::Value& result = root["result"];
  if (result.isNull()) {
    QEL_ENGINE_LOG(ERROR, "返回数据格式不正确，返回内容：" + LoggedAnswer(text), kLogFile, kParserFunc);
    return nullptr;
  }
  if (JsonText(result) != "success") {
    QEL_ENGINE_LOG(ERROR, "响应成功，返回内容：" + LoggedAnswer(text), kLogFile, kParserFunc);
    return nullptr;
  }
  std::unique_ptr<TVersionInfo> vi(new TVersionInfo);
  if (root.isMember("product_code")) vi->product_code = JsonText(root["product_code"]);
  if (root.isMember("product_name")) vi->product_name = Utf8ToAnsi(JsonText(root["product_name"]));
  if (root.isMember("product_version")) vi->product_version = JsonText(root["product_version"]);
  if (root.isMember("update_type")) vi->update_type = root["update_type"].asInt();
  if (root.isMember("update_description"))
    vi->update_description = Utf8ToAnsi(JsonText(root["update_description"]));
  if (root.isMember("update_time")) vi->update_time = JsonText(root["update_time"]);
  if (root.isMember("setup_url")) vi->setup_url = JsonText(root["setup_url"]);
  if (root.isMember("setup_md5")) vi->setup_md5 = JsonText(root["setup_md5"]);
  if (root.isMember("update_url")) vi->update_url = JsonText(root["update_url"]);
  if (root.isMember("update_md5")) vi->update_md5 = JsonText(root["update_md5"]);
  return vi;
}

std::unique_ptr<TVersionInfo> CProductInfo::RequestVersionInfo(const std::string& url) {
  CCheckConnection connection;
  for (int attempt = 0; attempt < check_retry_count; ++attempt) {
    TCheckAttempt answer = connection.Attempt(url);
    if (!answer.opened) {
      std::string text = FormatText(status_text::kConnectFailed, code.c_str(), answer.error_value,
                                    answer.error_text.c_str());
      Status(text);
      QEL_ENGINE_LOG(ERROR, text, kLogFile, kCheckFunc);
    } else {
      QEL_ENGINE_LOG(DEBUG, "发送请求内容：" + url, kLogFile, kCheckFunc);
      if (answer.read_failed) {
        std::string text = FormatText(status_text::kReadFailed, code.c_str(), answer.read_error.c_str());
        Status(text);
        QEL_ENGINE_LOG(ERROR, text, kLogFile, kCheckFunc);
      }
      std::unique_ptr<TVersionInfo> vi = ParserResponseInfo(answer.body);
      if (vi) return vi;
    }
    SleepMs(SecondsToMs(check_retry_timespan));
  }
  return nullptr;
}

bool CProductInfo::CheckUpdate(ECheckMode mode, bool /*wait*/) {
  // A check always waits for the work lock: going on without it would let two threads share the
  // product's settings, package and update block.
  std::lock_guard<std::recursive_mutex> hold(m_workLock);
  std::string url;
  std::unique_ptr<TVersionInfo> vi;
  try {
    Status(FormatText(status_text::kCheckStart, code.c_str()));
    url = BuildRequestUrl(m_serverUrl);
    QEL_ENGINE_LOG(ERROR, url, kLogFile, kCheckFunc);
    vi = RequestVersionInfo(url);
    if (!vi) {
      std::string text = FormatText(status_text::kNoVersionInfo, code.c_str());
      Status(text);
      QEL_ENGINE_LOG(ERROR, text, kLogFile, kCheckFunc);
      return true;
    }
    QEL_ENGINE_LOG(ERROR, VersionReport(*vi), kLogFile, kCheckFunc);
    if (vi->product_code != code) throw std::runtime_error("返回结果不是需要的产品信息");
    if (mode == CHECK_AS_CONFIGURED) mode = static_cast<ECheckMode>(notify_type);
    if (!(vi->product_version > current_version)) {
      QEL_ENGINE_LOG(ERROR, "无更新", kLogFile, kCheckFunc);
      DoNotifyUpdate(nullptr, false, false);
      return true;
    }
    bool full = vi->update_url.empty();
    const std::string& packageUrl = full ? vi->setup_url : vi->update_url;
    const std::string& md5 = full ? vi->setup_md5 : vi->update_md5;
    if (!full) {
      QEL_ENGINE_LOG(ERROR,
                     FormatText("产品%s有增量更新,当前版本号：%s,最新版本号：%s,更新包URL：%s,更新包MD5：%s", code.c_str(),
                                current_version.c_str(), vi->product_version.c_str(), vi->update_url.c_str(),
                                vi->update_md5.c_str()),
                     kLogFile, kCheckFunc);
    } else {
      QEL_ENGINE_LOG(ERROR,
                     FormatText("产品%s有跨版本更新,当前版本号：%s,最新版本号：%s,安装包URL：%s,安装包MD5：%s", code.c_str(),
                                current_version.c_str(), vi->product_version.c_str(), vi->setup_url.c_str(),
                                vi->setup_md5.c_str()),
                     kLogFile, kCheckFunc);
    }
    std::string zip = m_workFolder + "/" + md5 + ".zip";
    bool downloaded = false;
    if (mode == CHECK_NOTIFY_ONLY) {
      DoNotifyUpdate(vi.get(), full, false);
    } else if (mode == CHECK_INSTALL_SILENTLY || mode == CHECK_DOWNLOAD_THEN_NOTIFY) {
      if (mode == CHECK_INSTALL_SILENTLY) m_record->install_mode = INSTALL_SILENTLY;
      qelplat::CreatePrivateDirectory(m_workFolder);
      // Nothing is fetched into a folder someone else may change; that is no failed download either.
      bool folderUsable = WorkFolderUsable(kCheckFunc);
      if (folderUsable && Download(zip.c_str(), packageUrl.c_str(), md5.c_str())) {
        downloaded = true;
        download_failed_count = 0;
        DoNotifyUpdate(vi.get(), full, true);
      } else if (folderUsable) {
        ++download_failed_count;
        QEL_ENGINE_LOG(ERROR, FailedDownloadsText(download_failed_count, 62, packageUrl), kLogFile, kCheckFunc);
      }
    }
    if (download_failed_max_count > 0 && download_failed_count > download_failed_max_count) {
      QEL_ENGINE_LOG(ERROR, FailedDownloadsText(download_failed_count, 54, vi->update_url), kLogFile, kCheckFunc);
      DoNotifyUpdate(vi.get(), true, downloaded);
      download_failed_count = 0;
    }
  } catch (const std::exception& e) {
    std::string text = FormatText(status_text::kUpdateException, code.c_str(), url.c_str(), e.what());
    Status(text);
    QEL_ENGINE_LOG(ERROR, text, kLogFile, kCheckFunc);
  }
  return true;
}
