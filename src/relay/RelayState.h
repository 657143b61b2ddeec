#pragma once

// The relay's settings and runtime state; one record for the whole module.
struct RelayState {};

RelayState &moduleRelay();
