// Network tests: the WAN interface has an address, the default gateway and
// an Internet host answer ping, Wi-Fi smart configuration starts. Each reply
// is the result byte alone.
#pragma once

#include <cstdint>
#include <cstdio>

// 0x0101: the WAN interface (eth0.2; eth0 on the GWM0303) has an IPv4
// address, as its DHCP client got it.
int cmd_wan_dhcpcli(uint8_t *reply, int cap);
// 0x0102: the default gateway of the route table answers ping within 3 s.
int cmd_request_wan_ping_gw(uint8_t *reply, int cap);
// 0x0103: an Internet host, reached by name, answers ping within 3 s.
int cmd_request_wan_dns_ping(uint8_t *reply, int cap);
// 0x0203: restarts the Wi-Fi smart configuration; passes once wlan0 has an
// address, checked once a second for 30 s.
int cmd_request_wifi_smartconfig(uint8_t *reply, int cap);

// Reads a route table in the form of /proc/net/route (a column header, then
// one route a line: interface, destination, gateway, ...) and gives the
// gateway word of the first default route (destination 0), as the table
// prints it: the address in the byte order the kernel stores it, which is
// the order inet_ntoa reads. False when the table holds no default route.
bool routeDefaultGateway(std::FILE *table, uint32_t *gateway);
