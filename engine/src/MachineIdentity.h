#pragma once
// How the machine names itself to the update server: a network adapter's hardware address
// ("XX-XX-XX-XX-XX-XX") and an IPv4 address. Every source fails quietly to the next.
#include <string>
#include <vector>

struct TAdapterEntry {
  unsigned kind;
  char address[32];
};

enum : unsigned {
  ADAPTER_PCI_ETHERNET = 1,
  ADAPTER_WIRELESS = 2,
  ADAPTER_VIRTUAL_ETHERNET = 4,
  ADAPTER_OTHER = 0x80000000u,
};

// Always fills mac (18 chars): the first source that answers, else a made-up FF-FF-xx-xx-xx-FF.
void QueryClientMac(char mac[18]);
// The host's IPv4 address as dotted text; false when there is none.
bool QueryClientIp(char ip[18]);

bool GetMacByNdis(char mac[18]);
bool GetMacByAdaptersAddresses(char mac[18]);
int GetMacByAdaptersInfo(std::vector<TAdapterEntry>& list);
unsigned ClassifyAdapter(unsigned ifType, const char* description);
