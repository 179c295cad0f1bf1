#pragma once
// The status texts the engine sends its host (message type 1), as printf formats filled in order. The
// product code is always the first value.
namespace status_text {

const char kCheckStart[] = "产品%s检查更新";
const char kConnectFailed[] = "产品%s连接服务器失败：错误代码:%d，错误描述:%s";
const char kReadFailed[] = "产品%s检查更新发生异常：%s";
const char kNoVersionInfo[] = "产品%s版本信息为空";
const char kUpdateException[] = "产品%s更新异常,URL:%s,异常描述:%s";
const char kNoUpdate[] = "产品%s无更新";
const char kInstallWithConsent[] = "产品%s正常安装更新到%s版本";
const char kInstallSilently[] = "产品%s静默安装更新到%s版本";
const char kDownloadAttempt[] = "产品%s开始第%d/%d次下载，URL:%s，本地存储:%s";
const char kDownloadDone[] = "产品%s下载文件完成";
const char kDigestMismatch[] = "产品%sMD5校验不通过,删除已下载文件";
// The sizes are 64-bit decimals.
const char kSizeMismatch[] = "产品%s文件大小不正确，原文件大小：%lld,已下载文件大小：%lld";

}  // namespace status_text
