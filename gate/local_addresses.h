// The host's IPv4 addresses, as the gate reports them to the route server.
#pragma once

#include <string>
#include <vector>

namespace gate {

// Every IPv4 address of the host's interfaces as dotted text, in interface order, loopback
// included (a host with only loopback still gets an address). Empty when none can be read.
std::vector<std::string> LocalIPv4Addresses();

// The list as one text: the lines joined by line breaks, trimmed.
std::string JoinAddressList(const std::vector<std::string>& addresses);

}  // namespace gate
