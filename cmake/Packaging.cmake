# The Debian package (CPack's DEB generator), for an OBS that uses the system plug-in folders:
#   cmake -S . -B build/package -DORVANE_INSTALL_LAYOUT=system -DCMAKE_INSTALL_PREFIX=/usr ... && cpack
# scripts/package.sh does this. It depends on the OBS major version it was built for and recommends the
# Qt WebEngine runtime its web view companion needs.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "obs-orvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Orvane dock for OBS Studio: check everything, then go live on all your platforms")
set(CPACK_PACKAGE_CONTACT "Orvane <support@orvane.example>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "amd64")

set(_obs_major "${libobs_VERSION_MAJOR}")
if(NOT _obs_major)
  string(REGEX MATCH "^[0-9]+" _obs_major "${libobs_VERSION}")
endif()
math(EXPR _obs_next "${_obs_major} + 1")
set(_qt "${ORVANE_QT_MAJOR}")
if(_qt STREQUAL "5")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "obs-studio (>= ${_obs_major}), obs-studio (<< ${_obs_next}), libqt5core5a, libqt5gui5, libqt5widgets5, libqt5network5")
  set(_webengine "libqt5webenginewidgets5, libqt5quick5")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "obs-studio (>= ${_obs_major}), obs-studio (<< ${_obs_next}), libqt6core6, libqt6gui6, libqt6widgets6, libqt6network6")
  set(_webengine "libqt6webenginewidgets6, libqt6quick6")
endif()
if(ORVANE_HAS_WEBVIEW)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${_webengine}")
endif()
include(CPack)
