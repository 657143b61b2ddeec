// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "server/RouteDecision.h"

class QTcpSocket;
struct HttpRequest;
struct LocalServer;

// The admission checks, from the head alone: Host, path, bridge key, method. The body plays no part.
RouteDecision decideRoute(const LocalServer &server, const HttpRequest &request);

// Answers a refusal or hands the request to the target decideRoute chose.
void dispatchRoute(LocalServer &server, QTcpSocket *socket, const HttpRequest &request,
                   const RouteDecision &decision);
