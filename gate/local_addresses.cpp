// getifaddrs-based address list.
#include "gate/local_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>

namespace gate {

std::vector<std::string> LocalIPv4Addresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return addresses;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
            addresses.emplace_back(text);
        }
    }
    freeifaddrs(list);
    return addresses;
}

std::string JoinAddressList(const std::vector<std::string>& addresses) {
    std::string text;
    for (const std::string& a : addresses) {
        if (!text.empty()) text += "\r\n";
        text += a;
    }
    return text;
}

}  // namespace gate
