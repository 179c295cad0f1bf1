#pragma once
// The machine-identity calls: adapter lists (IP Helper), the NDIS permanent-address query on a network
// card's device, Winsock start-up and host-name resolution. Adapters are the interfaces of /sys/class/net,
// in interface-index order with the loopback listed last, as Windows lists it.
#include <string>
#include <vector>

#include "qelplat/handle.h"
#include "qelplat/wintypes.h"

typedef uint32_t ULONG;

enum : DWORD {
  ERROR_INVALID_FUNCTION = 1,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_NO_DATA = 232,
  IOCTL_NDIS_QUERY_GLOBAL_STATS = 0x00170002,
  OID_802_3_PERMANENT_ADDRESS = 0x01010101,
  MIB_IF_TYPE_ETHERNET = 6,
  MIB_IF_TYPE_LOOPBACK = 24,
  IF_TYPE_IEEE80211 = 71,
  MAX_ADAPTER_ADDRESS_LENGTH = 8,
  MAX_ADAPTER_NAME_LENGTH = 256,
  MAX_ADAPTER_DESCRIPTION_LENGTH = 128,
};

#ifndef AF_UNSPEC
#define AF_UNSPEC 0
#endif
#ifndef AF_INET
#define AF_INET 2
#endif

struct IP_ADAPTER_ADDRESSES {
  ULONG Length;
  DWORD IfIndex;
  IP_ADAPTER_ADDRESSES* Next;
  char* AdapterName;
  BYTE PhysicalAddress[MAX_ADAPTER_ADDRESS_LENGTH];
  DWORD PhysicalAddressLength;
  DWORD IfType;
};

struct IP_ADAPTER_INFO {
  IP_ADAPTER_INFO* Next;
  DWORD ComboIndex;
  char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
  char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
  UINT AddressLength;
  BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
  DWORD Index;
  UINT Type;
};

// Both fill the caller's buffer with a linked list; a buffer that is too small gives ERROR_BUFFER_OVERFLOW
// (111) with *size set to what is needed. GetAdaptersAddresses lists the adapters that carry an address of
// the family (AF_INET or AF_UNSPEC); GetAdaptersInfo lists every adapter but the loopback.
ULONG GetAdaptersAddresses(ULONG family, ULONG flags, void* reserved, IP_ADAPTER_ADDRESSES* buffer, ULONG* size);
ULONG GetAdaptersInfo(IP_ADAPTER_INFO* buffer, ULONG* size);

// NDIS query on a handle opened with CreateFileA("\\\\.\\<interface name>"): answers the card's permanent
// hardware address. A card without one (virtual interfaces answer zeros) fails with ERROR_NOT_SUPPORTED.
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, void* overlapped);

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};
int WSAStartup(WORD version, WSADATA* data);
int WSACleanup();

namespace qelplat {

// The device behind "\\.\<name>" for CreateFileA; INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND when no
// such interface exists.
HANDLE OpenNetworkDevice(const std::string& name);

// Interface names in the order Windows lists its network cards (index order, loopback left out).
std::vector<std::string> NetworkCardNames();

// The first IPv4 address of a host name as dotted text. The machine's own host name answers with the
// addresses of its interfaces (loopback last), as Windows does, rather than the 127.0.x.1 of /etc/hosts.
bool ResolveHostIPv4(const std::string& name, std::string* dotted);

}  // namespace qelplat
