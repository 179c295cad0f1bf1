#include "Tavrin.h"

#include <cstring>
#include <exception>

#include "ClientConfig.h"
#include "EngineLog.h"
#include "Globals.h"
#include "MachineIdentity.h"
#include "ProductInfo.h"
#include "qelplat/fileio.h"
#include "qelplat/findfile.h"

const char CTavrin::kLogFile[] = "Tavrin.cpp";

namespace {

std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

}  // namespace

int DeleteFilesMatching(const char* dir, const char* pattern) {
  if (!dir || !pattern || !*dir || !*pattern) return -1;
  std::string folder = dir;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + pattern).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return -1;
  do {
    if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0) continue;
    DeleteFileA((folder + data.cFileName).c_str());
  } while (FindNextFileA(find, &data));
  FindClose(find);
  return -1;
}

CTavrin::CTavrin() { Prepare(); }

CTavrin::~CTavrin() = default;

bool CTavrin::Prepare() {
  CClientConfig* config = EnsureConfig();
  if (config) DeleteFilesMatching(config->ModuleDirectory().c_str(), "*.meta");
  char mac[18] = {};
  char ip[18] = {};
  QueryClientMac(mac);
  if (!QueryClientIp(ip)) snprintf(ip, sizeof ip, "%s", "127.0.0.1");
  SetClientIdentity(mac, ip);
  return true;
}

bool CTavrin::StartService(UpdateMessageCallback cb) {
  Prepare();
  auto thread = std::make_shared<std::thread>([this, cb] { DoSome(cb); });
  thread->detach();
  std::lock_guard<std::mutex> hold(m_mapLock);
  m_serviceThread = thread;
  return true;
}

bool CTavrin::StopService() { return Shutdown(); }

bool CTavrin::Shutdown() {
  CClientConfig* config = EnsureConfig();
  g_DaemonInfo.StopDaemonService();
  if (config) DeleteFilesMatching(config->ModuleDirectory().c_str(), "*.meta");
  return true;
}

CProductInfo* CTavrin::FindProduct(const std::string& code) {
  std::lock_guard<std::mutex> hold(m_mapLock);
  auto it = m_products.find(code);
  return it == m_products.end() ? nullptr : it->second.get();
}

size_t CTavrin::ProductCount() {
  std::lock_guard<std::mutex> hold(m_mapLock);
  return m_products.size();
}

bool CTavrin::StartUpdate(TProductInfo* rec) {
  CClientConfig* config = EnsureConfig();
  if (!config || !rec || config->ListEmpty()) return false;
  CProductInfo* product = FindProduct(FieldText(rec->code, sizeof rec->code));
  return product ? product->StartDoUpdateThread(rec) : false;
}

int CTavrin::GetProductInfoEx(const char* code, TProductInfo* out) {
  CClientConfig* config = EnsureConfig();
  if (!config) return -1;
  if (!code) return config->Reload(out, nullptr);
  int count = config->Reload(nullptr, nullptr);
  config->FindProduct(code, out);
  return count;
}

int CTavrin::SetProductInfoEx(TProductInfo* rec) {
  if (!EnsureConfig() || !rec) return -1;
  CProductInfo* product = FindProduct(FieldText(rec->code, sizeof rec->code));
  if (product) product->SetProductInfo(rec, true);
  return -1;
}

int CTavrin::CheckUpdate() {
  CClientConfig* config = EnsureConfig();
  if (!config) return -1;
  std::vector<TProductInfo> list;
  config->Reload(nullptr, &list);
  if (list.empty()) return -1;
  TProductInfo head = list.front();
  head.next = nullptr;
  CProductInfo* product = FindProduct(FieldText(head.code, sizeof head.code));
  if (!product) return -1;
  product->SetProductInfo(&head, true);
  product->CheckUpdate(CHECK_NOTIFY_ONLY, true);
  return -1;
}

void CTavrin::RefreshProduct(const TProductInfo& rec, UpdateMessageCallback cb, const std::string& base) {
  std::string code = FieldText(rec.code, sizeof rec.code);
  CClientConfig* config = EnsureConfig();
  std::string server = config ? config->Server() : std::string();
  CProductInfo* product = nullptr;
  {
    // Found or made under one hold: two service loops never make two objects for one code. In the map
    // before its thread starts, so a StartUpdate from the first check finds it.
    std::lock_guard<std::mutex> hold(m_mapLock);
    std::unique_ptr<CProductInfo>& slot = m_products[code];
    if (!slot) slot.reset(new CProductInfo);
    product = slot.get();
  }
  // A product busy checking or installing holds its work lock for as long as that takes (hours, for a
  // package that trickles in): its settings stay as the running work reads them, and a later pass comes back
  // to it, while this one goes on with every other product.
  if (!product->TryRefresh(rec, cb, base, server)) {
    QEL_ENGINE_LOG(DEBUG, "产品" + code + "正在检查或安装，本轮不更新其设置，下轮再试", kLogFile, "CTavrin::DoSome");
    return;
  }
  // A product whose work folder cannot be made is not checked yet: a later pass tries the folder again.
  if (product->WorkFolderReady()) product->StartCheckThread();
}

void CTavrin::ServicePass(UpdateMessageCallback cb) {
  std::vector<TProductInfo> list;
  g_Config->Reload(nullptr, &list);
  TProductInfo* head = list.empty() ? nullptr : &list.front();
  if (cb && m_callbackLock.try_lock()) {
    std::lock_guard<std::mutex> hold(m_callbackLock, std::adopt_lock);
    cb(EMSG_PRODUCT_LIST, head);
  }
  // Where the work folders go is settled once a pass, when the first product that gets one comes: a pass
  // with nothing to look after makes no folder and logs nothing about one. With no folder to be had, no
  // product is refreshed or started in this pass; the host goes on, and the next pass looks again.
  bool chosen = false;
  std::string base;
  for (const TProductInfo& rec : list) {
    std::string code = FieldText(rec.code, sizeof rec.code);
    std::string version = FieldText(rec.current_version, sizeof rec.current_version);
    std::string file = FieldText(rec.execute_file, sizeof rec.execute_file);
    if (code.empty() || file.empty() || version.empty()) {
      QEL_ENGINE_LOG(ERROR, "产品信息不完整：产品编号：" + code + "当前版本：" + version + "执行程序：" + file, kLogFile,
                     "CTavrin::DoSome");
      continue;
    }
    if (!IsPlainFolderName(code)) {
      std::string text = "产品编号不是有效的文件夹名，已跳过：产品编号：" + PrintableCode(code);
      QEL_ENGINE_LOG(ERROR, text, kLogFile, "CTavrin::DoSome");
      continue;
    }
    if (!chosen) {
      base = m_baseFolder.Choose();
      chosen = true;
    }
    if (!base.empty()) RefreshProduct(rec, cb, base);
  }
}

void CTavrin::DoSome(UpdateMessageCallback cb) {
  if (!EnsureConfig()) return;
  for (;;) {
    try {
      ServicePass(cb);
    } catch (...) {
      // One bad pass never ends the service: the next pass reads the registry afresh.
    }
    SleepMs(MinutesToMs(g_Config->CheckTimespan()));
  }
}
