# CPack: a .deb natively, a .zip kit with the mingw tool chain.
set(CPACK_PACKAGE_NAME kivlink)
set(CPACK_PACKAGE_VENDOR "KIVLINK developers")
# Whoever publishes the package names themselves here (-DKIV_PACKAGE_CONTACT=...);
# the licence is in packaging/debian/copyright.in.
set(KIV_PACKAGE_CONTACT "KIVLINK developers <kivlink@example.org>" CACHE STRING "the packages' maintainer")
set(CPACK_PACKAGE_CONTACT "${KIV_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DPC3000 serial-line driver for the Tavrik SCADA host, with tools")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "KIVLINK connects a SCADA host's gate database with DPC3000 remote units on a\n"
    "serial wire or a half-duplex radio link, in the units' TDE protocol.\n"
    "This package holds the driver (KIVLINK.so), a stand-in for the host runtime\n"
    "(libTAVLIB.so) with the host headers, kivpoll, a command-line poller that\n"
    "loads the driver as the host does, kivsim, a simulator of the units, and\n"
    "kivgate, a daemon that polls the units through the driver and publishes their\n"
    "values on an MQTT broker (a systemd unit, kivgate@NAME, runs one per file).")
  string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  # kivgate talks to a broker, on this machine or elsewhere.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mosquitto, mosquitto-clients")

  # The libraries in /usr/lib: dpkg's ldconfig trigger, not CPack's
  # maintainer scripts that call ldconfig themselves; postinst makes
  # kivgate's service user.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/triggers
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
  # kivgate's example in /etc/kivgate is a conffile: dpkg keeps an edited one.
  if(TARGET kivgate)
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles)
  endif()

  # Debian's copyright file and changelog (a native package's, compressed
  # reproducibly), both naming the maintainer above.
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/copyright.in ${KIV_GENERATED_DIR}/copyright @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in ${KIV_GENERATED_DIR}/changelog @ONLY)
  add_custom_command(OUTPUT ${KIV_GENERATED_DIR}/changelog.gz
    COMMAND ${KIV_GZIP} -9nc ${KIV_GENERATED_DIR}/changelog > ${KIV_GENERATED_DIR}/changelog.gz
    DEPENDS ${KIV_GENERATED_DIR}/changelog)
  add_custom_target(kiv_debian_changelog ALL DEPENDS ${KIV_GENERATED_DIR}/changelog.gz)
  install(FILES ${KIV_GENERATED_DIR}/copyright ${KIV_GENERATED_DIR}/changelog.gz
    DESTINATION ${KIV_DOC_DIR})
endif()

include(CPack)
