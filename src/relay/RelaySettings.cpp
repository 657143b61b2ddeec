#include "relay/Relay.h"

RelayState &moduleRelay() {
    static RelayState relay;
    return relay;
}

void loadRelaySettings() {}
