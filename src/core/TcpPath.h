// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QtGlobal>
#include <optional>

// What the system lets a program see and set of one of its own TCP connections: the only calls of the
// relay's connection that differ between systems (Linux here; docs/contributing.md names the others').
// Each takes the connection's descriptor, and is called only by the thread that owns it.

// The connection's path as the kernel measures it.
struct TcpPathReading {
    unsigned smoothedRttUs = 0; // smoothed round trip
    unsigned leastRttUs = 0;    // the least round trip it has seen
    quint64 deliveryBytesPerSecond = 0;
    quint64 unackedBytes = 0; // sent and not yet acknowledged
    quint64 notSentBytes = 0; // in its send buffer, not sent yet
};
std::optional<TcpPathReading> readTcpPath(qintptr fd);

// Paces what the connection sends at bytesPerSecond (the kernel's own pacing); 0 lifts it.
bool paceTcpPath(qintptr fd, quint64 bytesPerSecond);

// Closing the connection resets it at once rather than sending what its buffer still holds first.
bool resetTcpOnClose(qintptr fd);

// Keeps what the connection's send buffer holds unsent under bytes: what the path can't take backs up to the
// sender rather than waiting in the kernel.
bool limitUnsentBytes(qintptr fd, int bytes);

// Caps the send buffer of the other end of a loopback connection that this process accepted, where that other
// end is a socket of this same process too (found by its addresses, through a copy of its descriptor, so that
// a descriptor closed and reused meanwhile is never touched): its kernel would otherwise let it grow to
// megabytes while the receiver reads slowly. Returns whether it was found and set.
bool capLoopbackPeerSendBuffer(qintptr acceptedFd, int bytes);

// Keeps what a connection on this machine's loopback holds small: a small receive buffer (the sender's is capped
// on its own, above). Set on a listening socket, it applies to the connections it accepts.
bool keepLoopbackTight(qintptr fd, int receiveBufferBytes);
