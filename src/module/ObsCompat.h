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
