#include "MachineIdentity.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "test_support.h"

namespace {

TEST(MachineIdentity, AdapterKindsPreferPciThenWirelessThenVirtual) {
  EXPECT_EQ(ClassifyAdapter(6, "Intel PCI Ethernet"), static_cast<unsigned>(ADAPTER_PCI_ETHERNET));
  EXPECT_EQ(ClassifyAdapter(6, "PCI Virtual adapter"), static_cast<unsigned>(ADAPTER_PCI_ETHERNET));
  EXPECT_EQ(ClassifyAdapter(6, "Hyper-V Virtual Ethernet"), static_cast<unsigned>(ADAPTER_VIRTUAL_ETHERNET));
  EXPECT_EQ(ClassifyAdapter(71, "PCI wireless"), static_cast<unsigned>(ADAPTER_WIRELESS));
  EXPECT_EQ(ClassifyAdapter(6, "USB Ethernet"), static_cast<unsigned>(ADAPTER_OTHER));
  EXPECT_EQ(ClassifyAdapter(24, "PCI loopback"), static_cast<unsigned>(ADAPTER_OTHER));
}

TEST(MachineIdentity, AddressTextAlwaysHasTheAdapterFormat) {
  char mac[18];
  QueryClientMac(mac);
  EXPECT_TRUE(std::regex_match(std::string(mac), std::regex("([0-9A-F]{2}-){5}[0-9A-F]{2}"))) << mac;
  char ip[18] = {};
  if (QueryClientIp(ip)) {
    EXPECT_TRUE(std::regex_match(std::string(ip), std::regex("\\d{1,3}(\\.\\d{1,3}){3}"))) << ip;
  }
  EXPECT_FALSE(QueryClientIp(nullptr));
}

TEST(MachineIdentity, WithoutAnyAdapterTheAddressIsMadeUp) {
  qeltest::TempDir empty;
  qeltest::EnvGuard sysfs("QEL_SYSFS_NET", empty.path().c_str());
  std::set<std::string> seen;
  for (int i = 0; i < 4; ++i) {
    char mac[18];
    QueryClientMac(mac);
    EXPECT_TRUE(std::regex_match(std::string(mac), std::regex("FF-FF-[0-9A-F]{2}-[0-9A-F]{2}-[0-9A-F]{2}-FF"))) << mac;
    seen.insert(mac);
  }
  EXPECT_GT(seen.size(), 1u) << "the middle bytes are drawn afresh";
}

}  // namespace
