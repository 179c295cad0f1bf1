#include "qelplat/netapi.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "qelplat/lasterror.h"

namespace {

const int kArphrdLoopback = 772;
const DWORD kMaxHardwareAddress = 32;  // the kernel's kMaxHardwareAddress

struct Interface {
  std::string name;
  DWORD index = 0;
  int hwType = 0;
  std::vector<BYTE> address;
  bool loopback = false;
  bool wireless = false;
  bool pci = false;
  bool isVirtual = false;
  std::vector<std::string> ipv4;
};

// The folder the interfaces are read from; tests point it at a tree of their own.
std::string SysNetRoot() {
  const char* root = getenv("QEL_SYSFS_NET");
  return root && *root ? root : "/sys/class/net";
}

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// "02:fc:00:00:00:01" -> bytes; stops at the first pair that is not hexadecimal.
std::vector<BYTE> ParseHardwareAddress(const std::string& text) {
  std::vector<BYTE> bytes;
  for (size_t i = 0; i + 2 <= text.size() && bytes.size() < MAX_ADAPTER_ADDRESS_LENGTH; i += 3) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    long value = strtol(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) break;
    bytes.push_back(static_cast<BYTE>(value));
  }
  return bytes;
}

std::string RealPath(const std::string& path) {
  char buf[4096];
  return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// (interface name, dotted IPv4 address) for every IPv4 address of the machine.
std::vector<std::pair<std::string, std::string>> IPv4Addresses() {
  std::vector<std::pair<std::string, std::string>> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr, text, sizeof(text));
    addresses.emplace_back(it->ifa_name, text);
  }
  freeifaddrs(list);
  return addresses;
}

Interface ReadInterface(const std::string& root, const std::string& name) {
  std::string dir = root + "/" + name;
  Interface nic;
  nic.name = name;
  nic.index = static_cast<DWORD>(strtoul(ReadLine(dir + "/ifindex").c_str(), nullptr, 10));
  nic.hwType = atoi(ReadLine(dir + "/type").c_str());
  nic.loopback = nic.hwType == kArphrdLoopback;
  nic.address = ParseHardwareAddress(ReadLine(dir + "/address"));
  nic.wireless = Exists(dir + "/wireless") || Exists(dir + "/phy80211");
  std::string subsystem = RealPath(dir + "/device/subsystem");
  nic.pci = subsystem.size() >= 4 && subsystem.compare(subsystem.size() - 4, 4, "/pci") == 0;
  nic.isVirtual = RealPath(dir).find("/devices/virtual/") != std::string::npos;
  return nic;
}

// Index order with the loopback last: Windows lists its loopback pseudo-interface after the cards.
std::vector<Interface> Interfaces() {
  std::string root = SysNetRoot();
  std::vector<Interface> list;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(root.c_str()), closedir);
  if (!dir) return list;
  while (dirent* entry = readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    list.push_back(ReadInterface(root, entry->d_name));
  }
  for (const auto& address : IPv4Addresses()) {
    for (Interface& nic : list)
      if (nic.name == address.first) nic.ipv4.push_back(address.second);
  }
  std::stable_sort(list.begin(), list.end(), [](const Interface& a, const Interface& b) {
    if (a.loopback != b.loopback) return !a.loopback;
    return a.index < b.index;
  });
  return list;
}

std::string Description(const Interface& nic) {
  std::string text = nic.wireless ? "Wireless network adapter" : "Ethernet adapter";
  if (nic.pci) text = "PCI " + text;
  if (nic.isVirtual) text = "Virtual " + text;
  return text + " " + nic.name;
}

DWORD IfType(const Interface& nic) {
  if (nic.loopback) return MIB_IF_TYPE_LOOPBACK;
  if (nic.wireless) return IF_TYPE_IEEE80211;
  const DWORD kOther = 1;
  return nic.hwType == 1 ? static_cast<DWORD>(MIB_IF_TYPE_ETHERNET) : kOther;
}

size_t Align(size_t n) { return (n + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1); }

class NetworkDevice : public qelplat::KernelObject {
 public:
  explicit NetworkDevice(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

bool PermanentAddress(const std::string& name, BYTE* out, DWORD* length) {
  if (name.size() >= IFNAMSIZ) return false;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // ethtool_perm_addr ends in a flexible array: give it room behind the header.
  alignas(ethtool_perm_addr) BYTE storage[sizeof(ethtool_perm_addr) + kMaxHardwareAddress] = {};
  auto* request = reinterpret_cast<ethtool_perm_addr*>(storage);
  request->cmd = ETHTOOL_GPERMADDR;
  request->size = kMaxHardwareAddress;
  ifreq ifr{};
  memcpy(ifr.ifr_name, name.c_str(), name.size());
  ifr.ifr_data = reinterpret_cast<char*>(request);
  bool ok = ioctl(fd, SIOCETHTOOL, &ifr) == 0;
  close(fd);
  if (!ok || request->size == 0) return false;
  DWORD n = std::min<DWORD>(request->size, kMaxHardwareAddress);
  const BYTE* data = storage + sizeof(ethtool_perm_addr);
  if (std::all_of(data, data + n, [](BYTE b) { return b == 0; })) return false;
  memcpy(out, data, n);
  *length = n;
  return true;
}

}  // namespace

ULONG GetAdaptersAddresses(ULONG family, ULONG, void*, IP_ADAPTER_ADDRESSES* buffer, ULONG* size) {
  if (!size || (family != AF_INET && family != AF_UNSPEC)) return ERROR_INVALID_PARAMETER;
  std::vector<Interface> list = Interfaces();
  list.erase(std::remove_if(list.begin(), list.end(), [](const Interface& nic) { return nic.ipv4.empty(); }),
             list.end());
  if (list.empty()) return ERROR_NO_DATA;
  size_t need = 0;
  for (const Interface& nic : list) need += Align(sizeof(IP_ADAPTER_ADDRESSES)) + Align(nic.name.size() + 1);
  if (!buffer || *size < need) {
    *size = static_cast<ULONG>(need);
    return ERROR_BUFFER_OVERFLOW;
  }
  char* cursor = reinterpret_cast<char*>(buffer);
  IP_ADAPTER_ADDRESSES* previous = nullptr;
  for (const Interface& nic : list) {
    auto* entry = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(cursor);
    memset(entry, 0, sizeof(*entry));
    cursor += Align(sizeof(IP_ADAPTER_ADDRESSES));
    memcpy(cursor, nic.name.c_str(), nic.name.size() + 1);
    entry->AdapterName = cursor;
    cursor += Align(nic.name.size() + 1);
    entry->Length = sizeof(IP_ADAPTER_ADDRESSES);
    entry->IfIndex = nic.index;
    entry->IfType = IfType(nic);
    entry->PhysicalAddressLength = static_cast<DWORD>(nic.address.size());
    std::copy(nic.address.begin(), nic.address.end(), entry->PhysicalAddress);
    if (previous) previous->Next = entry;
    previous = entry;
  }
  return ERROR_SUCCESS;
}

ULONG GetAdaptersInfo(IP_ADAPTER_INFO* buffer, ULONG* size) {
  if (!size) return ERROR_INVALID_PARAMETER;
  std::vector<Interface> list = Interfaces();
  list.erase(std::remove_if(list.begin(), list.end(), [](const Interface& nic) { return nic.loopback; }),
             list.end());
  if (list.empty()) return ERROR_NO_DATA;
  size_t need = list.size() * sizeof(IP_ADAPTER_INFO);
  if (!buffer || *size < need) {
    *size = static_cast<ULONG>(need);
    return ERROR_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < list.size(); ++i) {
    const Interface& nic = list[i];
    IP_ADAPTER_INFO& entry = buffer[i];
    memset(&entry, 0, sizeof(entry));
    entry.Next = i + 1 < list.size() ? &buffer[i + 1] : nullptr;
    entry.ComboIndex = nic.index;
    entry.Index = nic.index;
    snprintf(entry.AdapterName, sizeof(entry.AdapterName), "%s", nic.name.c_str());
    snprintf(entry.Description, sizeof(entry.Description), "%s", Description(nic).c_str());
    entry.AddressLength = static_cast<UINT>(nic.address.size());
    std::copy(nic.address.begin(), nic.address.end(), entry.Address);
    entry.Type = IfType(nic);
  }
  return ERROR_SUCCESS;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, void*) {
  if (returned) *returned = 0;
  NetworkDevice* nic = qelplat::HandleObject<NetworkDevice>(device);
  if (!nic) return FALSE;
  DWORD oid = 0;
  if (code != IOCTL_NDIS_QUERY_GLOBAL_STATS || !in || inSize < sizeof(oid)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  memcpy(&oid, in, sizeof(oid));
  if (oid != OID_802_3_PERMANENT_ADDRESS) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  BYTE address[kMaxHardwareAddress];
  DWORD length = 0;
  if (!PermanentAddress(nic->name(), address, &length)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (!out || outSize < length) {
    SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
    return FALSE;
  }
  memcpy(out, address, length);
  if (returned) *returned = length;
  return TRUE;
}

int WSAStartup(WORD version, WSADATA* data) {
  if (data) {
    data->wVersion = version;
    data->wHighVersion = 0x0202;
  }
  return 0;
}

int WSACleanup() { return 0; }

namespace qelplat {

HANDLE OpenNetworkDevice(const std::string& name) {
  // The name comes from configuration: it must name an interface, never a path.
  bool plain = !name.empty() && name.find('/') == std::string::npos && name[0] != '.';
  if (!plain || !Exists(SysNetRoot() + "/" + name)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return RegisterHandle(std::make_unique<NetworkDevice>(name));
}

std::vector<std::string> NetworkCardNames() {
  std::vector<std::string> names;
  for (const Interface& nic : Interfaces())
    if (!nic.loopback) names.push_back(nic.name);
  return names;
}

bool ResolveHostIPv4(const std::string& name, std::string* dotted) {
  if (name.empty() || !dotted) return false;
  char self[256] = {};
  if (gethostname(self, sizeof(self) - 1) == 0 && strcasecmp(self, name.c_str()) == 0) {
    for (const Interface& nic : Interfaces()) {
      if (!nic.ipv4.empty()) {
        *dotted = nic.ipv4.front();
        return true;
      }
    }
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr, text, sizeof(text));
  freeaddrinfo(result);
  *dotted = text;
  return true;
}

}  // namespace qelplat
