// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/RemoteControl.h"

#include "core/Log.h"
#include "relay/Relay.h"
#include "remote/MainThreadCall.h"
#include "remote/RelayHotkeys.h"
#include "remote/RemoteRelay.h"
#include "remote/WebsocketVendor.h"

#include <QJsonDocument>
#include <mutex>
#include <obs.hpp>

namespace {
const char *const kVendorName = "orvane";

bool (*isSignedIn)() = nullptr;
QJsonObject lastReportedRelay;
// The status as of the last relay call or tick, for requests that may not wait for the main thread.
std::mutex statusMutex;
QJsonObject lastStatus;

QByteArray compactJson(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject errorAnswer(const QString &message) {
    return {{QStringLiteral("error"), message}};
}

void answer(obs_data_t *response, const std::optional<QJsonObject> &result) {
    const QJsonObject object =
        result ? *result : errorAnswer(QStringLiteral("OBS is closing or busy: try again."));
    OBSDataAutoRelease data = obs_data_create_from_json(compactJson(object).constData());
    obs_data_apply(response, data);
}

QJsonObject currentStatus() {
    QJsonObject status = remoteStatus(isSignedIn && isSignedIn());
    const std::lock_guard lock(statusMutex);
    lastStatus = status;
    return status;
}

// In a batch that obs-websocket runs on OBS's graphics thread the status comes from the last relay call or
// tick.
void answerGetStatus(obs_data_t *, obs_data_t *response, void *) {
    if (obs_in_task_thread(OBS_TASK_GRAPHICS)) {
        const std::lock_guard lock(statusMutex);
        answer(response, lastStatus);
        return;
    }
    answer(response, callOnMainThread(currentStatus));
}

void answerSetRelay(obs_data_t *request, obs_data_t *response, void *) {
    if (obs_in_task_thread(OBS_TASK_GRAPHICS)) {
        answer(response,
               errorAnswer(QStringLiteral("SetRelay can't run in a batch on OBS's frames: send it on "
                                          "its own.")));
        return;
    }
    const char *json = request ? obs_data_get_json(request) : nullptr;
    const QJsonObject fields = QJsonDocument::fromJson(json ? json : "{}").object();
    answer(response, callOnMainThread([fields] {
               const QString refusal = changeRelayFromRemote(fields);
               return refusal.isEmpty() ? remoteRelayStatus() : errorAnswer(refusal);
           }));
}

struct VendorRequest {
    const char *type;
    VendorRequestHandler handler;
};
const VendorRequest kVendorRequests[] = {{"GetStatus", answerGetStatus}, {"SetRelay", answerSetRelay}};

// The relay's state without its figures of the moment: an event goes out when it changes, never per figure.
QJsonObject relayState(QJsonObject relay) {
    for (const QString &key : relay.keys())
        if (isRelayFigure(key))
            relay.remove(key);
    return relay;
}

// Once per change, when the relay call that made it has returned.
void reportRelayStatusChange() {
    noteRelayStateForHotkeys(moduleRelay().enabled);
    const QJsonObject relay = currentStatus().value(QStringLiteral("relay")).toObject();
    QJsonObject state = relayState(relay);
    if (state == lastReportedRelay)
        return;
    lastReportedRelay = std::move(state);
    OBSDataAutoRelease data = obs_data_create_from_json(compactJson(relay).constData());
    emitVendorEvent("RelayStatusChanged", data);
}
} // namespace

void startRemoteControl(bool (*signedIn)()) {
    isSignedIn = signedIn;
    openMainThreadCalls();
    registerRelayHotkeys();
    noteRelayStateForHotkeys(moduleRelay().enabled);
    setRelayCallEndHook(reportRelayStatusChange);
    if (!registerWebsocketVendor(kVendorName))
        return;
    for (const VendorRequest &request : kVendorRequests)
        registerVendorRequest(request.type, request.handler);
    lastReportedRelay = relayState(currentStatus().value(QStringLiteral("relay")).toObject());
    logMessage(LOG_INFO, "obs-websocket vendor \"%s\" ready: GetStatus, SetRelay, event RelayStatusChanged",
               kVendorName);
}

void stopRemoteControl() {
    closeMainThreadCalls();
    setRelayCallEndHook(nullptr);
    for (const VendorRequest &request : kVendorRequests)
        unregisterVendorRequest(request.type);
    unregisterRelayHotkeys();
}

void remoteControlOnTick() {
    currentStatus();
}

void remoteControlOnProfileChange() {
    loadRelayHotkeyBindings();
}
