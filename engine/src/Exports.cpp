// The engine's plain exports. No exception ever crosses them into the host.
#include "ClientConfig.h"
#include "Globals.h"
#include "QelUpdate/QelUpdate.h"
#include "Tavrin.h"

bool StartUpdateService(UpdateMessageCallback cb) {
  try {
    CTavrin* client = EnsureClient();
    return client && client->StartService(cb);
  } catch (...) {
    return false;
  }
}

void StopUpdateService() {
  try {
    if (g_Client) g_Client->StopService();
  } catch (...) {
  }
}

bool StartUpdate(TProductInfo* rec) {
  try {
    return g_Client ? g_Client->StartUpdate(rec) : false;
  } catch (...) {
    return false;
  }
}

int GetProductInfoEx(const char* code, TProductInfo* out) {
  try {
    CTavrin* client = EnsureClient();
    return client ? client->GetProductInfoEx(code, out) : -1;
  } catch (...) {
    return -1;
  }
}

int SetProductInfoEx(TProductInfo* rec) {
  if (!rec) return -1;
  try {
    CTavrin* client = EnsureClient();
    if (client) client->SetProductInfoEx(rec);
  } catch (...) {
  }
  return -1;
}

int CheckUpdate(int flag) {
  if (flag == 0) return -1;
  try {
    CTavrin* client = EnsureClient();
    if (!client) return -1;
    client->CheckUpdate();
  } catch (...) {
    return -1;
  }
  return 0;
}
