// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "http/JsonWriter.h"
#include "relay/RelayState.h"
#include "relay/SharedEncoders.h"

#include <QJsonObject>
#include <obs-frontend-api.h>

// Settings.
void loadRelaySettings();
void saveRelaySettings();
// Returns once relay.json holds every change saved so far (they are written away from OBS's main thread).
void finishSavingRelaySettings();
void updateRelaySettings(bool enabled, const QString &server, const QString &key, int bitrate);
// Whether the relay can send to this address: an rtmp:// or rtmps:// URL with a host.
bool isRelayServerAddress(const QString &server);

// Pipeline.
// With shared encoders the relay sends OBS's own encoded stream; without, it makes its own encoders.
bool buildRelayPipeline(StreamEncoders shared);
// Hands the pipeline to the relay's stopping thread (its stop and release can wait on the network); graceful:
// a sending stream first ends cleanly at its server.
void releaseRelayPipeline(bool graceful = true);
// What happens to the relay: its life decides, the rest carries it out.
void relayEvent(RelayEvent event);
bool startRelay(); // as turning it on: true while it attempts or sends
// The pipeline an attempt needs: the one there is where it still fits, else a new one; false: none could be
// made.
bool prepareRelayPipeline(RelayState &relay);
// An attempt's connection to the relay's server (the module's own), replacing any earlier one's.
void openRelayConnection(RelayState &relay, RelayConnection::Report report);
// Cuts the current attempt's connection, wherever it got to.
void closeRelayConnection(RelayState &relay);
// Starts libobs's output against the attempt's connection, once that is connected; false: it did not start.
bool startRelayOutput(RelayState &relay);
void stopRelay();
// What a pipeline is built from: the relay settings and where its encoders come from.
QString relaySignature(const StreamEncoders &shared);
// Starts the relay when OBS's stream has started; stops it when that stream is stopping or has stopped
// (a failed stream raises only "stopped").
void relayOnFrontendEvent(enum obs_frontend_event event);
// Stops the relay and releases its output, service and encoders; harmless when repeated.
void shutdownRelay();

// Status and retry.
QString relayStopMessage(qint64 code);
// " Trying again every 5 seconds.", with its leading space.
QString relayRetrySuffix();
// Once nothing retries any more, the error no longer says it is trying again.
void settleRelayError(RelayState &relay);
// Restarts a relay that should be sending, at most once every 5 seconds, stops one that outlived OBS's
// stream, and lets go of OBS's encoders once a relay that shared them has stopped; called once a second
// with the time (ms since the Unix epoch).
void relayRetryCheck(qint64 now);
// Samples the relay's send rate, tells a stall, and lets the relay give way to OBS's stream on a shared
// uplink; once a second with the time (ms since the Unix epoch).
void sampleRelayHealth(qint64 now);
// The video bitrate the relay's own encoder sends at now: the setting, or what the uplink's share leaves.
int relayEncoderKbps(const RelayState &relay);
// Forgets how the relay shared the uplink: a new stream finds its share anew.
void forgetRelayShare(RelayState &relay);
// The status members that are figures of the moment rather than its state.
bool isRelayFigure(const QString &key);
// The relay's status for the page: written straight into an answer, or as an object.
void writeRelayStatus(JsonWriter &json);
QJsonObject relayStatusJson();
// Called when the outermost relay call returns, where the status may have changed; nullptr: none.
void setRelayCallEndHook(void (*hook)());
void connectRelaySignals(obs_output_t *output, RelayLink *link);
void disconnectRelaySignals(obs_output_t *output, RelayLink *link);
