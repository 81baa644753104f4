// Network tests: the WAN interface has an address, the default gateway and
// an Internet host answer ping, Wi-Fi smart configuration starts. Each reply
// is the result byte alone.
#pragma once

#include <cstdint>
#include <cstdio>

int cmd_wan_dhcpcli(uint8_t *reply, int cap);
int cmd_request_wan_ping_gw(uint8_t *reply, int cap);
int cmd_request_wan_dns_ping(uint8_t *reply, int cap);
int cmd_request_wifi_smartconfig(uint8_t *reply, int cap);

// Reads a route table in the form of /proc/net/route (a column header, then
// one route a line: interface, destination, gateway, ...) and gives the
// gateway word of the first default route (destination 0), as the table
// prints it: the address in the byte order the kernel stores it, which is
// the order inet_ntoa reads. False when the table holds no default route.
bool routeDefaultGateway(std::FILE *table, uint32_t *gateway);
