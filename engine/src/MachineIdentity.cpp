#include "MachineIdentity.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qelplat/dynlib.h"
#include "qelplat/fileio.h"
#include "qelplat/netapi.h"
#include "qelplat/registry.h"

namespace {

const char kCardsKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
const DWORD kNameSize = 260;
const DWORD kDebugPrivilege = 20;

void FormatMac(const BYTE* b, char* out, size_t size) {
  snprintf(out, size, "%02X-%02X-%02X-%02X-%02X-%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
}

void EnableDebugPrivilege() {
  HMODULE ntdll = LoadLibraryA("ntdll.dll");
  if (!ntdll) return;
  auto adjust = reinterpret_cast<RtlAdjustPrivilegeFn>(GetProcAddress(ntdll, "RtlAdjustPrivilege"));
  BOOL was = FALSE;
  if (adjust) adjust(kDebugPrivilege, TRUE, FALSE, &was);
}

std::string CardServiceName(const char* subkey) {
  HKEY card = nullptr;
  std::string path = std::string(kCardsKey) + "\\" + subkey;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &card) != ERROR_SUCCESS) return std::string();
  char name[kNameSize] = {};
  DWORD size = sizeof name;
  std::string service;
  if (RegQueryValueExA(card, "ServiceName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS)
    service.assign(name, strnlen(name, size < sizeof name ? size : sizeof name));
  RegCloseKey(card);
  return service;
}

bool QueryPermanentAddress(const std::string& service, char mac[18]) {
  HANDLE device = CreateFileA(("\\\\.\\" + service).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  DWORD oid = OID_802_3_PERMANENT_ADDRESS;
  BYTE out[kNameSize] = {};
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, sizeof oid, out, sizeof out, &returned,
                            nullptr);
  CloseHandle(device);
  // A short answer is no address: go on to the next source.
  if (!ok || returned < 6) return false;
  FormatMac(out, mac, 18);
  return true;
}

}  // namespace

unsigned ClassifyAdapter(unsigned ifType, const char* description) {
  if (ifType == MIB_IF_TYPE_ETHERNET && strstr(description, "PCI")) return ADAPTER_PCI_ETHERNET;
  if (ifType == IF_TYPE_IEEE80211) return ADAPTER_WIRELESS;
  if (ifType == MIB_IF_TYPE_ETHERNET && strstr(description, "Virtual")) return ADAPTER_VIRTUAL_ETHERNET;
  return ADAPTER_OTHER;
}

bool GetMacByNdis(char mac[18]) {
  EnableDebugPrivilege();
  HKEY cards = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCardsKey, 0, KEY_READ, &cards) != ERROR_SUCCESS) return false;
  bool found = false;
  for (DWORD index = 0; !found; ++index) {
    char sub[kNameSize];
    DWORD size = kNameSize;
    if (RegEnumKeyExA(cards, index, sub, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::string service = CardServiceName(sub);
    if (!service.empty()) found = QueryPermanentAddress(service, mac);
  }
  RegCloseKey(cards);
  return found;
}

bool GetMacByAdaptersAddresses(char mac[18]) {
  ULONG size = 376;
  std::unique_ptr<BYTE[]> buffer(new BYTE[size]());
  ULONG result = GetAdaptersAddresses(AF_INET, 0, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  if (result == ERROR_BUFFER_OVERFLOW) {
    buffer.reset(new BYTE[size]());
    result = GetAdaptersAddresses(AF_INET, 0, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  if (result != ERROR_SUCCESS) return false;
  auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get());
  FormatMac(first->PhysicalAddress, mac, 18);
  return true;
}

int GetMacByAdaptersInfo(std::vector<TAdapterEntry>& list) {
  list.clear();
  ULONG size = 648;
  std::unique_ptr<BYTE[]> buffer(new BYTE[size]());
  ULONG result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
  if (result == ERROR_BUFFER_OVERFLOW) {
    buffer.reset(new BYTE[size]());
    result = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
  }
  if (result != ERROR_SUCCESS) return 0;
  for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()); a; a = a->Next) {
    TAdapterEntry entry{};
    FormatMac(a->Address, entry.address, sizeof entry.address);
    entry.kind = ClassifyAdapter(a->Type, a->Description);
    if (entry.kind & ADAPTER_PCI_ETHERNET) list.push_back(entry);
  }
  return static_cast<int>(list.size());
}

void QueryClientMac(char mac[18]) {
  memset(mac, 0, 18);
  if (GetMacByNdis(mac) || GetMacByAdaptersAddresses(mac)) return;
  std::vector<TAdapterEntry> list;
  if (GetMacByAdaptersInfo(list) > 0) {
    memcpy(mac, list.front().address, 17);
    mac[17] = '\0';
    return;
  }
  BYTE made[6] = {0xFF, 0xFF, 0, 0, 0, 0xFF};
  made[4] = static_cast<BYTE>(rand() % 256);
  made[3] = static_cast<BYTE>(rand() % 256);
  made[2] = static_cast<BYTE>(rand() % 256);
  FormatMac(made, mac, 18);
}

bool QueryClientIp(char ip[18]) {
  if (!ip) return false;
  WSADATA data;
  if (WSAStartup(0x0002, &data) != 0) return false;
  char host[kNameSize] = {};
  std::string dotted;
  bool ok = gethostname(host, sizeof host - 1) == 0 && qelplat::ResolveHostIPv4(host, &dotted) && !dotted.empty() &&
            dotted.size() < 18;
  if (ok) snprintf(ip, 18, "%s", dotted.c_str());
  WSACleanup();
  return ok;
}
