// SPDX-License-Identifier: GPL-2.0-or-later
#include "webview/WebViewSetup.h"

#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QtGlobal>
#include <unistd.h>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QOpenGLContext>
// Exported by Qt Gui, declared only in its private headers.
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext *context);
#endif

void prepareWebEngine() {
    static bool prepared = false;
    if (prepared)
        return;
    prepared = true;

    // Qt WebEngine refuses to start its sandbox as root and takes the whole process down with it.
    if (geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        // With the OpenGL scene graph, the view takes OBS's graphics context from under libobs.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
#else
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
#endif
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Loaded from a plug-in, Qt 6 WebEngine finds no global shared context and the first view crashes.
    if (!QOpenGLContext::globalShareContext()) {
        auto *shared = new QOpenGLContext;
        shared->create();
        qt_gl_set_global_share_context(shared);
    }
#endif
}
