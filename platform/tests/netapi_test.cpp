#include "qelplat/netapi.h"

#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "qelplat/dynlib.h"
#include "qelplat/fileio.h"
#include "qelplat/lasterror.h"
#include "test_support.h"

namespace {

// A /sys/class/net look-alike: class entries are links into a devices tree, as in sysfs.
class FakeSysNet {
 public:
  FakeSysNet() : env_("QEL_SYSFS_NET", (dir_.path() + "/class/net").c_str()) {
    Mkdir("class");
    Mkdir("class/net");
    Mkdir("bus");
    Mkdir("bus/pci");
    Mkdir("bus/usb");
  }
  // kind: "pci", "virtual", "usb"
  void Add(const std::string& name, int index, int type, const std::string& mac, const std::string& kind,
           bool wireless = false) {
    std::string dev = kind == "virtual" ? "devices/virtual/net/" + name : "devices/" + kind + "0/net/" + name;
    MkdirAll(dev);
    qeltest::WriteFile(dir_.file(dev + "/ifindex"), std::to_string(index) + "\n");
    qeltest::WriteFile(dir_.file(dev + "/type"), std::to_string(type) + "\n");
    qeltest::WriteFile(dir_.file(dev + "/address"), mac + "\n");
    if (wireless) Mkdir(dev + "/wireless");
    if (kind != "virtual") {
      Mkdir(dev + "/device");
      EXPECT_EQ(symlink(dir_.file("bus/" + kind).c_str(), dir_.file(dev + "/device/subsystem").c_str()), 0);
    }
    EXPECT_EQ(symlink(dir_.file(dev).c_str(), dir_.file("class/net/" + name).c_str()), 0);
  }

 private:
  void Mkdir(const std::string& rel) { mkdir(dir_.file(rel).c_str(), 0755); }
  void MkdirAll(const std::string& rel) {
    for (size_t pos = rel.find('/'); pos != std::string::npos; pos = rel.find('/', pos + 1)) Mkdir(rel.substr(0, pos));
    Mkdir(rel);
  }
  qeltest::TempDir dir_;
  qeltest::EnvGuard env_;
};

std::vector<IP_ADAPTER_INFO> AdaptersInfo() {
  ULONG size = 0;
  EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_BUFFER_OVERFLOW);
  std::vector<IP_ADAPTER_INFO> buffer(size / sizeof(IP_ADAPTER_INFO) + 1);
  ULONG have = static_cast<ULONG>(buffer.size() * sizeof(IP_ADAPTER_INFO));
  EXPECT_EQ(GetAdaptersInfo(buffer.data(), &have), ERROR_SUCCESS);
  std::vector<IP_ADAPTER_INFO> list;
  for (IP_ADAPTER_INFO* it = buffer.data(); it; it = it->Next) list.push_back(*it);
  return list;
}

}  // namespace

TEST(NetApi, AdapterInfoClassifiesCardsLikeWindows) {
  FakeSysNet net;
  net.Add("lo", 1, 772, "00:00:00:00:00:00", "virtual");
  net.Add("wlan0", 3, 1, "10:20:30:40:50:60", "pci", true);
  net.Add("veth7", 4, 1, "aa:bb:cc:dd:ee:ff", "virtual");
  net.Add("eth9", 2, 1, "02:fc:00:00:00:01", "pci");
  net.Add("usb0", 5, 1, "12:34:56:78:9a:bc", "usb");

  std::vector<IP_ADAPTER_INFO> list = AdaptersInfo();
  ASSERT_EQ(list.size(), 4u);  // the loopback is never listed
  EXPECT_STREQ(list[0].AdapterName, "eth9");
  EXPECT_EQ(list[0].Type, 6u);
  EXPECT_NE(strstr(list[0].Description, "PCI"), nullptr);
  EXPECT_EQ(list[0].AddressLength, 6u);
  EXPECT_EQ(list[0].Address[0], 0x02);
  EXPECT_EQ(list[0].Address[1], 0xfc);
  EXPECT_EQ(list[1].Type, 71u);  // wireless
  EXPECT_NE(strstr(list[2].Description, "Virtual"), nullptr);
  EXPECT_EQ(strstr(list[2].Description, "PCI"), nullptr);
  EXPECT_EQ(strstr(list[3].Description, "PCI"), nullptr);
  EXPECT_EQ(strstr(list[3].Description, "Virtual"), nullptr);

  std::vector<std::string> cards = qelplat::NetworkCardNames();
  EXPECT_EQ(cards, (std::vector<std::string>{"eth9", "wlan0", "veth7", "usb0"}));

  ULONG small = sizeof(IP_ADAPTER_INFO);
  IP_ADAPTER_INFO one;
  EXPECT_EQ(GetAdaptersInfo(&one, &small), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(small, 4 * sizeof(IP_ADAPTER_INFO));
}

TEST(NetApi, AdapterAddressesListTheLoopbackLast) {
  ULONG size = 376;
  std::vector<char> buffer(size);
  auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
  ULONG rc = GetAdaptersAddresses(AF_INET, 0, nullptr, first, &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    buffer.assign(size, 0);
    first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    rc = GetAdaptersAddresses(AF_INET, 0, nullptr, first, &size);
  }
  ASSERT_EQ(rc, ERROR_SUCCESS);
  IP_ADAPTER_ADDRESSES* last = first;
  int count = 1;
  for (; last->Next; last = last->Next) {
    EXPECT_NE(last->IfType, 24u) << "loopback before " << last->Next->AdapterName;
    ++count;
  }
  EXPECT_STREQ(last->AdapterName, "lo");
  EXPECT_EQ(last->IfType, 24u);
  // Every interface with an IPv4 address is listed once, no more.
  std::set<std::string> withIpv4;
  ifaddrs* all = nullptr;
  ASSERT_EQ(getifaddrs(&all), 0);
  for (ifaddrs* it = all; it; it = it->ifa_next) {
    if (it->ifa_addr && it->ifa_addr->sa_family == AF_INET) withIpv4.insert(it->ifa_name);
  }
  freeifaddrs(all);
  EXPECT_EQ(count, static_cast<int>(withIpv4.size()));
  EXPECT_EQ(GetAdaptersAddresses(23 /* AF_INET6 */, 0, nullptr, first, &size), ERROR_INVALID_PARAMETER);
}

TEST(NetApi, DeviceQueryAcceptsOnlyInterfacesAndThePermanentAddress) {
  // Names from configuration never become paths.
  for (const char* bad : {"\\\\.\\../../etc", "\\\\.\\", "\\\\.\\no-such-card", "\\\\.\\.hidden"}) {
    EXPECT_EQ(CreateFileA(bad, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE)
        << bad;
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  }
  HANDLE lo = CreateFileA("\\\\.\\lo", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lo, INVALID_HANDLE_VALUE);
  DWORD oid = OID_802_3_PERMANENT_ADDRESS;
  BYTE out[260];
  DWORD returned = 99;
  // The loopback has no permanent address: all zeros counts as failure.
  EXPECT_FALSE(DeviceIoControl(lo, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, sizeof(oid), out, sizeof(out), &returned,
                               nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);
  EXPECT_FALSE(DeviceIoControl(lo, 0x1234, &oid, sizeof(oid), out, sizeof(out), &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(CloseHandle(lo));
}

TEST(NetApi, HostNamesResolveToIPv4Text) {
  std::string ip;
  ASSERT_TRUE(qelplat::ResolveHostIPv4("localhost", &ip));
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_FALSE(qelplat::ResolveHostIPv4("no-such-host.invalid", &ip));
  EXPECT_FALSE(qelplat::ResolveHostIPv4("", &ip));

  char self[256] = {};
  ASSERT_EQ(gethostname(self, sizeof(self) - 1), 0);
  ASSERT_TRUE(qelplat::ResolveHostIPv4(self, &ip));
  // The machine's own name answers with its first interface address (the loopback's only when no card has one),
  // not with the 127.0.1.1 of /etc/hosts.
  ULONG size = 0;
  ASSERT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size), ERROR_BUFFER_OVERFLOW);
  std::vector<char> buffer(size);
  auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
  ASSERT_EQ(GetAdaptersAddresses(AF_INET, 0, nullptr, first, &size), ERROR_SUCCESS);
  if (first->IfType != 24u) {
    EXPECT_NE(ip.rfind("127.", 0), 0u) << ip;
  } else {
    EXPECT_EQ(ip, "127.0.0.1");
  }
}

TEST(DynLib, BuiltInSystemModulesOfferTheirFunctions) {
  HMODULE ntdll = GetModuleHandleA("NTDLL.DLL");
  ASSERT_NE(ntdll, nullptr);
  auto adjust = reinterpret_cast<RtlAdjustPrivilegeFn>(GetProcAddress(ntdll, "RtlAdjustPrivilege"));
  ASSERT_NE(adjust, nullptr);
  BOOL was = TRUE;
  EXPECT_EQ(adjust(20, TRUE, FALSE, &was), 0);
  EXPECT_EQ(GetProcAddress(ntdll, "NoSuchFunction"), nullptr);
  EXPECT_EQ(GetLastError(), 127u);
  EXPECT_EQ(LoadLibraryA("no-such-library.so"), nullptr);
  EXPECT_EQ(GetLastError(), 126u);
}
