// Whether the machine has a network connection. Any thread.
#pragma once

namespace platform {

// True when an interface other than loopback is up and has an address.
bool IsNetworkAlive();

}  // namespace platform
