// What may reach a shell command line from the console as a TFTP file name.
// MAC addresses here by their form; their dialogue is tests/console/test_rescue.py.
#include "console/validate.h"

#include <gtest/gtest.h>

namespace {

TEST(Validate, TftpFileNamesArePlainPathsOnlyMacAddressesHexGroups) {
    for (const char* good :
         {"a", "image.bin", "rel/1.2/VKT3390_OS+dbg.img", "x-1", "./a", "zImage.Z", "az09AZ"}) {
        EXPECT_EQ(tftp_filename_valid(good), 1) << good;
    }
    for (const char* bad : {"", "-r", "--help", "a;reboot", "$(reboot)", "a b", "a`id`", "a|b",
                            "a&b", "a>b", "a\\b", "'a'", "a\"b", "a\tb", "a\nb", "\x80"}) {
        EXPECT_EQ(tftp_filename_valid(bad), 0) << bad;
    }
    EXPECT_EQ(tftp_filename_valid(nullptr), 0);
    // A MAC address: six groups of one or two hex digits, either case.
    EXPECT_EQ(mac_address_valid("02:1a:2B:3c:4D:f"), 1);
    EXPECT_EQ(mac_address_valid("0F:9a:A0:fF:00:9"), 1);  // both ends of each range
    EXPECT_EQ(mac_address_valid("02:1a:2b:3c:4d:5e0"), 0);
    EXPECT_EQ(mac_address_valid(nullptr), 0);
    // Only 0-9, a-f and A-F: the letters and signs between them are no digits.
    for (const char* mac : {"02:1a:2b:3c:4d:5G", "02:1a:2b:3c:4d:5g", "02:1a:2b:3c:4d:5["}) {
        EXPECT_EQ(mac_address_valid(mac), 0) << mac;
    }
}

}  // namespace

#include <arpa/inet.h>

#include <cstdio>
#include <string>

#include "console/network.h"
#include "platform/sandbox/test_support.h"

namespace {

// The management port's static set-up: a host's address has a first octet
// from 1 to 239, and the gateway is held to that as the address is (the
// netmask is not). DHCP is offered only where the switch has its client.
TEST(Validate, AddressesUpTo239TheGatewayTestedAndDhcpOnlyWithItsClient) {
    int dhcp = 1;
    std::uint32_t ip = 0, netmask = 0, gateway = 0;
    ASSERT_EQ(std::rename("/bin/dhclient", "/bin/dhclient.away"), 0);
    std::string out = sandbox_test::on_console(
        "239.1.2.3\r0.0.0.255\r240.0.0.1\r239.0.0.9\rq\r",
        [&] { EXPECT_EQ(ask_network_settings(&dhcp, &ip, &netmask, &gateway, 1), 1); });
    ASSERT_EQ(std::rename("/bin/dhclient.away", "/bin/dhclient"), 0);
    EXPECT_EQ(out.find("DHCP"), std::string::npos) << out;
    std::size_t asked = out.find("Gateway    :");
    ASSERT_NE(asked, std::string::npos) << out;
    EXPECT_EQ(out.find("Invalid IP address"), out.find("Invalid IP address 240.0.0.1. Try again"));
    EXPECT_GT(out.find("Invalid IP address 240.0.0.1. Try again"), asked);
    EXPECT_EQ(dhcp, 0);
    EXPECT_EQ(ip, inet_addr("239.1.2.3"));
    EXPECT_EQ(netmask, inet_addr("0.0.0.255"));
    EXPECT_EQ(gateway, inet_addr("239.0.0.9"));
}

}  // namespace
