#include "Globals.h"

#include <cstring>
#include <mutex>
#include <new>

#include "ClientConfig.h"
#include "EngineLog.h"
#include "Tavrin.h"

namespace {

// Storage for objects built at load and deliberately never destroyed (no destructor runs at exit while
// engine threads still use them).
template <class T>
T& Immortal() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* object = new (storage) T();
  return *object;
}

std::mutex& IdentityLock() { return Immortal<std::mutex>(); }

std::once_flag g_clientOnce;
std::once_flag g_configOnce;

}  // namespace

QEL::CLog& g_Log = Immortal<QEL::CLog>();
QEL::MD5& g_Md5 = Immortal<QEL::MD5>();
QEL::CDaemonInfo& g_DaemonInfo = Immortal<QEL::CDaemonInfo>();

CTavrin* g_Client = nullptr;
CClientConfig* g_Config = nullptr;
char g_ClientMac[18];
char g_ClientIp[18];

CClientConfig* EnsureConfig() {
  std::call_once(g_configOnce, [] {
    // Lives as long as the process; nothing owns it but the process.
    g_Config = new (std::nothrow) CClientConfig;
  });
  return g_Config;
}

CTavrin* EnsureClient() {
  std::call_once(g_clientOnce, [] {
    try {
      g_Client = new CTavrin;
    } catch (...) {
      g_Client = nullptr;
    }
  });
  return g_Client;
}

void SetClientIdentity(const char* mac, const char* ip) {
  std::lock_guard<std::mutex> hold(IdentityLock());
  snprintf(g_ClientMac, sizeof g_ClientMac, "%s", mac);
  snprintf(g_ClientIp, sizeof g_ClientIp, "%s", ip);
}

std::string ClientMacText() {
  std::lock_guard<std::mutex> hold(IdentityLock());
  return std::string(g_ClientMac, strnlen(g_ClientMac, sizeof g_ClientMac));
}

std::string ClientIpText() {
  std::lock_guard<std::mutex> hold(IdentityLock());
  return std::string(g_ClientIp, strnlen(g_ClientIp, sizeof g_ClientIp));
}
