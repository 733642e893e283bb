// Configuration of the management Ethernet port.
#pragma once

// Asks for and applies the port's settings; `offer_dhcp` adds the DHCP
// question. The result of the configuration, or 0 when the dialogue was left.
int network_setup(int offer_dhcp);
