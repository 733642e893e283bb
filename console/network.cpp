#include "console/network.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "boot/interrupt.h"
#include "console/input.h"
#include "console/validate.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kLineSize = 128;
constexpr std::size_t kMacLineSize = 18;  // nn:nn:nn:nn:nn:nn
// The management port: every caller configures eth0.
constexpr char kMgmtDigit = '0';

// Waits of a static set-up: the address settles, then the operator sees
// 20 dots while the link comes up, then one more second.
constexpr unsigned kAfterAddressS = 5;
constexpr int kDots = 20;
constexpr unsigned kAfterDhcpS = 3;

// A command line from a printf format, run by the shell. Every part is
// fixed text, an interface digit or a dotted address from inet_ntoa, or a
// MAC address that passed mac_address_valid: nothing the operator types
// reaches the shell unchecked.
template <typename... Args>
void run_command(const char* format, Args... args) {
    char command[160];
    std::snprintf(command, sizeof command, format, args...);
    plat_system(command);
}

// inet_ntoa keeps its text in one static buffer: each use is printed or
// copied before the next.
const char* dotted(std::uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    return inet_ntoa(a);
}

}  // namespace

int ip_address_usable(std::uint32_t address) {
    std::uint32_t first_octet = ntohl(address) >> 24;
    return address != 0 && first_octet != 0 && first_octet <= 239 ? 1 : 0;
}

int ask_ip_address(const char* prompt, std::uint32_t* address, int required, int test) {
    char line[kLineSize];
    for (;;) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        read_line(line, sizeof line);
        if (line[0] == 'q' || line[0] == 'Q') {
            return 0;
        }
        if (line[0] == '\0' && !required) {
            return 1;
        }
        in_addr parsed{};
        if (inet_aton(line, &parsed) == 0) {
            std::puts("Invalid IP address. Try again please");
            continue;
        }
        if (test && !ip_address_usable(parsed.s_addr)) {
            std::printf("Invalid IP address %s. Try again please\n", line);
            continue;
        }
        // Only an accepted address is stored: a refused one must not be
        // configured later when the operator leaves the question.
        *address = parsed.s_addr;
        return 1;
    }
}

int ask_network_settings(int* dhcp, std::uint32_t* ip, std::uint32_t* netmask,
                         std::uint32_t* gateway, int offer_dhcp) {
    *dhcp = 0;
    struct stat st;
    if (offer_dhcp && stat("/bin/dhclient", &st) == 0) {
        char line[kLineSize];
        std::fputs("Confirm: Use DHCP for network configuration? y/N: ", stdout);
        std::fflush(stdout);
        read_line(line, sizeof line);
        if (interrupt_flag) {
            return 0;
        }
        if (std::toupper(static_cast<unsigned char>(line[0])) == 'Y') {
            *dhcp = 1;
        }
        std::putchar('\n');
    }
    if (*dhcp) {
        return 1;
    }
    if (!ask_ip_address("IP addr    :", ip, 1, 1) ||
        !ask_ip_address("Netmask    :", netmask, 0, 0) ||
        !ask_ip_address("Gateway    :", gateway, 0, 1)) {
        return 0;
    }
    return 1;
}

int configure_mgmt_port(int dhcp, char eth_digit, std::uint32_t ip, std::uint32_t netmask,
                        std::uint32_t gateway) {
    if (dhcp) {
        run_command("dhclient -1 eth%c", eth_digit);
        plat_sleep(kAfterDhcpS);
    } else {
        run_command("ifconfig eth%c %s\n", eth_digit, dotted(ip));
        if (netmask != 0) {
            std::printf("\tNetmask    : %s\n", dotted(netmask));
            run_command("ifconfig eth%c down\n", eth_digit);
            run_command("ifconfig eth%c netmask %s\n", eth_digit, dotted(netmask));
            run_command("ifconfig eth%c up\n", eth_digit);
        }
        plat_sleep(kAfterAddressS);
        if (gateway != 0) {
            std::printf("\tGateway    : %s\n", dotted(gateway));
            run_command("route add default gw %s\n", dotted(gateway));
        }
        std::fputs("Configuring management port...", stdout);
        for (int i = 0; i < kDots; ++i) {
            plat_sleep(1);
            std::putchar('.');
            std::fflush(stdout);
        }
        std::putchar('\n');
        plat_sleep(1);
    }
    if (eth_digit == kMgmtDigit && !mgmt_link_up()) {
        std::puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int mgmt_link_up() {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::puts("Raw Socket open error");
        return 0;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "eth0", IFNAMSIZ - 1);
    if (ioctl(sock, SIOCGIFINDEX, &request) < 0) {
        std::printf("Open Interface %s error.\n", "eth0");
        close(sock);
        return 0;
    }
    if (ioctl(sock, SIOCGIFFLAGS, &request) < 0) {
        std::puts("Open flags error.");
        close(sock);
        return 0;
    }
    unsigned flags = static_cast<unsigned short>(request.ifr_flags);
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    link.data = 0;
    request.ifr_data = reinterpret_cast<char*>(&link);
    if (ioctl(sock, SIOCETHTOOL, &request) < 0) {
        std::puts("EthTool GLINK error.");
        close(sock);
        return 0;
    }
    close(sock);
    return link.data != 0 && (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0 ? 1 : 0;
}

int network_setup(int offer_dhcp) {
    int dhcp = 0;
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::uint32_t gateway = 0;
    if (!ask_network_settings(&dhcp, &ip, &netmask, &gateway, offer_dhcp)) {
        return 0;
    }
    return configure_mgmt_port(dhcp, kMgmtDigit, ip, netmask, gateway);
}

int set_mgmt_mac() {
    char line[kMacLineSize];
    for (;;) {
        std::fputs("MAC address (format nn:nn:nn:nn:nn:nn): ", stdout);
        std::fflush(stdout);
        read_line(line, sizeof line);
        if (interrupt_flag) {
            return 0;
        }
        // The line goes into a shell command as typed: only six hex groups
        // and their colons may, so that the console cannot run commands
        // through it.
        if (mac_address_valid(line)) {
            run_command("ifconfig eth%c hw ether %s\n", kMgmtDigit, line);
            return 1;
        }
        std::puts("Invalid MAC address. Try again please");
    }
}
