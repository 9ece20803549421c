#include "platform/network.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

namespace platform {

bool IsNetworkAlive() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool alive = false;
    for (ifaddrs* it = list; it && !alive; it = it->ifa_next) {
        // Link-layer entries (AF_PACKET) are not addresses.
        if (!it->ifa_addr) continue;
        int family = it->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        unsigned flags = it->ifa_flags;
        alive = (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
    }
    freeifaddrs(list);
    return alive;
}

}  // namespace platform
