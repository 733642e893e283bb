// Configuration of the management Ethernet port.
#pragma once

#include <cstdint>

// Asks for an IPv4 address (stored in network byte order). `required`
// refuses an empty answer; `test` refuses unusable addresses. 1 when an
// address was stored or an empty answer allowed, 0 when the operator left.
int ask_ip_address(const char* prompt, std::uint32_t* address, int required, int test);

// 1 when the address (network byte order) may be a host's address.
int ip_address_usable(std::uint32_t address);

// Asks for DHCP (when offered) or the static address, netmask and gateway.
// 1 when complete, 0 when the operator left the dialogue.
int ask_network_settings(int* dhcp, std::uint32_t* ip, std::uint32_t* netmask,
                         std::uint32_t* gateway, int offer_dhcp);

// Brings the port up with the settings. 1, or 0 when the interface digit is
// '0' and the link is down.
int configure_mgmt_port(int dhcp, char eth_digit, std::uint32_t ip, std::uint32_t netmask,
                        std::uint32_t gateway);

// 1 when eth0 has link and is up and running.
int mgmt_link_up();

// Asks for and applies the port's settings; `offer_dhcp` adds the DHCP
// question. The result of the configuration, or 0 when the dialogue was left.
int network_setup(int offer_dhcp);

// Asks for the management MAC address and sets it. 1 when the command ran,
// 0 when abandoned.
int set_mgmt_mac();
