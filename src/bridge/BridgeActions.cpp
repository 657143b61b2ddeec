#include "bridge/BridgeActions.h"

#include "server/ResponseWriter.h"

// No bridge action is served yet.
void handleBridgeAction(LocalServer &, QTcpSocket *socket, const HttpRequest &) {
    writeResponse(socket, 404, "text/plain", "Not found");
}
