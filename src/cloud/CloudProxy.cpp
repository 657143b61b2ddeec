#include "cloud/CloudProxy.h"

#include "server/ResponseWriter.h"

// Calls to the cloud and the desktop app are not forwarded yet.
void proxyRequest(LocalServer &, QTcpSocket *socket, const HttpRequest &, const QString &, bool) {
    writeResponse(socket, 404, "text/plain", "Not found");
}
