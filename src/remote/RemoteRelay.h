// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QJsonObject>
#include <QString>

// The relay as remote controls (obs-websocket clients, hotkeys) see and change it. Main thread only.

// A stream key as the dock page shows it: only its last four characters; empty for no key.
QString maskedStreamKey(const QString &key);
// The bridge's relay object with the stream key, masked.
QJsonObject remoteRelayStatus();
// Whether Orvane is signed in (never the token) and the relay.
QJsonObject remoteStatus(bool signedIn);
// Changes the relay's settings: a field that is there is read as the bridge's relay action reads it (a
// wrong type gives its default), one that is missing keeps its value. Saved and applied as the bridge's.
void changeRelayFromRemote(const QJsonObject &fields);
