// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "bridge/BridgeResult.h"

#include <QByteArray>
#include <QJsonObject>

class QTcpSocket;
struct HttpRequest;
struct LocalServer;
struct RouteDecision;

// One action of the page's bridge: its name below "/bridge/", the method it answers, and what it does.
struct BridgeAction {
    const char *name;
    const char *method;
    BridgeResult (*run)(LocalServer &server, const QJsonObject &arguments);
};

// Picks the action for a method and name and runs it; a wrong method or an unknown name gets its refusal.
BridgeResult dispatchBridgeAction(LocalServer &server, const QByteArray &method, const QByteArray &name,
                                  const QJsonObject &arguments);

// Answers one request below "/bridge/" on its connection.
void answerBridgeRequest(LocalServer &server, QTcpSocket *socket, const HttpRequest &request,
                         const RouteDecision &decision);
