// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The few libobs calls that differ between the OBS versions the module supports (29.0 to 32).

#include <obs-config.h>
#include <obs.h>

// The server URL a streaming service connects to.
inline const char *serviceServerUrl(obs_service_t *service) {
#if LIBOBS_API_MAJOR_VER > 29 || (LIBOBS_API_MAJOR_VER == 29 && LIBOBS_API_MINOR_VER >= 1)
    return obs_service_get_connect_info(service, OBS_SERVICE_CONNECT_INFO_SERVER_URL);
#else
    return obs_service_get_url(service);
#endif
}

#include <QDockWidget>
#include <QMainWindow>
#include <obs-frontend-api.h>

// Registers content as the dock id/title; false when OBS already has a dock of that id.
inline bool addFrontendDock(const char *id, const char *title, QWidget *content) {
#if LIBOBS_API_MAJOR_VER >= 30
    return obs_frontend_add_dock_by_id(id, title, content);
#else
    // OBS 29 takes a ready dock widget; its object name is the dock's id.
    auto *mainWindow = static_cast<QMainWindow *>(obs_frontend_get_main_window());
    if (mainWindow && mainWindow->findChild<QDockWidget *>(QString::fromUtf8(id)))
        return false;
    auto *dock = new QDockWidget(QString::fromUtf8(title), mainWindow);
    dock->setObjectName(QString::fromUtf8(id));
    dock->setWidget(content);
    obs_frontend_add_dock(dock);
    return true;
#endif
}

// How many of OBS's frames an encoder skips between the ones it encodes (OBS 30 added the divisor).
inline uint32_t encoderFrameRateDivisor(const obs_encoder_t *encoder) {
#if LIBOBS_API_MAJOR_VER >= 30
    return obs_encoder_get_frame_rate_divisor(encoder);
#else
    (void)encoder;
    return 1;
#endif
}

#include <QString>

// The error text an output's "stop" signal carries. libobs copies it into the signal's data; reading it
// from the output instead races with a new start on another thread, which frees it.
inline QString stopSignalError(calldata_t *calldata) {
    const char *error = nullptr;
    calldata_get_string(calldata, "last_error", &error);
    return QString::fromUtf8(error ? error : "");
}

// The error text of an output's "reconnect" signal: libobs puts none in that signal's data, so it is read
// from the output on the thread that raised it, which has just set it.
inline QString reconnectSignalError(calldata_t *calldata) {
    const char *error = nullptr;
    if (!calldata_get_string(calldata, "last_error", &error) || !error) {
        if (obs_output_t *output = static_cast<obs_output_t *>(calldata_ptr(calldata, "output")))
            error = obs_output_get_last_error(output);
    }
    return QString::fromUtf8(error ? error : "");
}
