#include "relay/Relay.h"

void relayRetryCheck() {}
