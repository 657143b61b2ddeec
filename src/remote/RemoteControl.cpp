// SPDX-License-Identifier: GPL-2.0-or-later
#include "remote/RemoteControl.h"

#include "core/Log.h"
#include "relay/Relay.h"
#include "remote/MainThreadCall.h"
#include "remote/RelayHotkeys.h"
#include "remote/RemoteRelay.h"
#include "remote/WebsocketVendor.h"

#include <QJsonDocument>
#include <obs.hpp>

namespace {
const char *const kVendorName = "orvane";

bool (*isSignedIn)() = nullptr;
QJsonObject lastReportedRelay;

QByteArray compactJson(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void answer(obs_data_t *response, const std::optional<QJsonObject> &result) {
    const QJsonObject object =
        result ? *result
               : QJsonObject{{QStringLiteral("error"), QStringLiteral("OBS is closing or busy: try again.")}};
    OBSDataAutoRelease data = obs_data_create_from_json(compactJson(object).constData());
    obs_data_apply(response, data);
}

void answerGetStatus(obs_data_t *, obs_data_t *response, void *) {
    answer(response, callOnMainThread([] { return remoteStatus(isSignedIn && isSignedIn()); }));
}

void answerSetRelay(obs_data_t *request, obs_data_t *response, void *) {
    const char *json = request ? obs_data_get_json(request) : nullptr;
    const QJsonObject fields = QJsonDocument::fromJson(json ? json : "{}").object();
    answer(response, callOnMainThread([fields] {
               changeRelayFromRemote(fields);
               return remoteRelayStatus();
           }));
}

struct VendorRequest {
    const char *type;
    VendorRequestHandler handler;
};
const VendorRequest kVendorRequests[] = {{"GetStatus", answerGetStatus}, {"SetRelay", answerSetRelay}};

// Once per change, when the relay call that made it has returned.
void reportRelayStatusChange() {
    QJsonObject relay = remoteRelayStatus();
    if (relay == lastReportedRelay)
        return;
    lastReportedRelay = std::move(relay);
    OBSDataAutoRelease data = obs_data_create_from_json(compactJson(lastReportedRelay).constData());
    emitVendorEvent("RelayStatusChanged", data);
}
} // namespace

void startRemoteControl(bool (*signedIn)()) {
    isSignedIn = signedIn;
    openMainThreadCalls();
    registerRelayHotkeys();
    if (!registerWebsocketVendor(kVendorName))
        return;
    for (const VendorRequest &request : kVendorRequests)
        registerVendorRequest(request.type, request.handler);
    lastReportedRelay = remoteRelayStatus();
    setRelayCallEndHook(reportRelayStatusChange);
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

void remoteControlOnProfileChange() {
    loadRelayHotkeyBindings();
}
