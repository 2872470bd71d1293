// Which interface an "AttachedNIC" value binds, over hand-made interface
// tables: a host with a VPN tunnel or an alias address must still bind the
// loopback address for the all-zero value, which keeps a server private.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "service/NetworkInterface.h"

namespace brelvint {
namespace {

NetworkInterface Nic(const char* name, const char* mac, const char* ipv4, unsigned index,
                     bool loopback, bool link) {
  NetworkInterface nic;
  nic.Name = name;
  nic.MACAddress = mac;
  nic.IPv4 = ipv4;
  nic.Index = index;
  nic.IsLoopback = loopback;
  nic.HasLinkAddress = link;
  return nic;
}

// The order List() gives: hardware first, then link-less, loopback last.
const NetworkInterface kEth0 = Nic("eth0", "52:54:00:ab:cd:ef", "192.168.1.20", 2, false, true);
const NetworkInterface kAlias = Nic("eth0:1", "00:00:00:00:00:00", "192.168.1.21", 2, false, false);
const NetworkInterface kTun = Nic("tun0", "00:00:00:00:00:00", "10.8.0.6", 5, false, false);
const NetworkInterface kPpp = Nic("ppp0", "00:00:00:00:00:00", "100.64.3.9", 6, false, false);
const NetworkInterface kLo = Nic("lo", "00:00:00:00:00:00", "127.0.0.1", 1, true, false);

struct ChoiceCase {
  const char* label;
  std::vector<NetworkInterface> interfaces;
  std::string attached_nic;
  std::optional<std::string> bound;  // the chosen IPv4; none binds every address
};

class NetworkInterfaceChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(NetworkInterfaceChoiceTest, BindsTheExpectedAddress) {
  const ChoiceCase& c = GetParam();
  auto chosen = NetworkInterface::Choose(c.interfaces, c.attached_nic);
  ASSERT_EQ(chosen.has_value(), c.bound.has_value());
  if (chosen) {
    EXPECT_EQ(chosen->IPv4, *c.bound);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, NetworkInterfaceChoiceTest,
    ::testing::Values(
        ChoiceCase{"zero_with_tunnel", {kEth0, kTun, kLo}, "00:00:00:00:00:00", "127.0.0.1"},
        ChoiceCase{"zero_with_alias", {kEth0, kAlias, kLo}, "00:00:00:00:00:00", "127.0.0.1"},
        ChoiceCase{"zero_with_vpn_only", {kTun, kPpp, kLo}, "00:00:00:00:00:00", "127.0.0.1"},
        ChoiceCase{"zero_without_loopback_up", {kEth0, kTun}, "00:00:00:00:00:00", "127.0.0.1"},
        ChoiceCase{"hardware", {kEth0, kTun, kLo}, "52:54:00:ab:cd:ef", "192.168.1.20"},
        ChoiceCase{"hardware_upper_case", {kEth0, kTun, kLo}, "52:54:00:AB:CD:EF", "192.168.1.20"},
        ChoiceCase{
            "unknown_binds_every_address", {kEth0, kTun, kLo}, "aa:bb:cc:dd:ee:ff", std::nullopt}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

}  // namespace
}  // namespace brelvint
