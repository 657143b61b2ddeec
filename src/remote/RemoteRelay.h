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
// Changes the relay's settings: a field that is missing keeps its value; saved and applied as the bridge's.
// A field the relay can't use (a wrong type, a bitrate out of range, an address that is no RTMP server)
// changes nothing: the answer is a refusal that names it; empty when the change was made.
QString changeRelayFromRemote(const QJsonObject &fields);
