// Whether the machine has a network connection. Any thread.
#pragma once

namespace platform {

// True when an interface other than loopback is up and has an address
// (Windows: IsNetworkAlive of the network-sensing service).
bool IsNetworkAlive();

}  // namespace platform
