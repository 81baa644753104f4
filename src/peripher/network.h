// The network tests' reading of the kernel's IPv4 route table.
#pragma once

#include <cstdint>
#include <cstdio>

// Reads a route table in the form of /proc/net/route (a column header, then
// one route a line: interface, destination, gateway, ...) and gives the
// gateway word of the first default route (destination 0), as the table
// prints it: the address in the byte order the kernel stores it, which is
// the order inet_ntoa reads. False when the table holds no default route.
bool routeDefaultGateway(std::FILE *table, uint32_t *gateway);
