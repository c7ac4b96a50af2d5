# Release packages through CPack (cmake --build --preset windows|native --target package):
# the Windows build makes FwUpgrade-<version>-windows-x64.zip, the native build
# fwupgrade_<version>_<arch>.deb. <version> names the program's version and the carried
# firmware's, 1.0.0+fw1.0.4, with ~sample when the images are the sample ones (a Debian
# version that sorts below the release's).
set(FWUPGRADE_RELEASE_VERSION "${PROJECT_VERSION}+fw${FIRMWARE_VERSION}")
if(SAMPLE_IMAGES)
  string(APPEND FWUPGRADE_RELEASE_VERSION "~sample")
  set(SAMPLE_NOTE " (SAMPLE images: not a release, never use it on a unit)")
  set(IMAGES_KIND "sample images, not a release")
else()
  set(SAMPLE_NOTE "")
  set(IMAGES_KIND "release images")
endif()

set(CPACK_PACKAGE_NAME FwUpgrade)
set(CPACK_PACKAGE_VERSION "${FWUPGRADE_RELEASE_VERSION}")
set(CPACK_PACKAGE_VENDOR "Ondrex")
set(CPACK_PACKAGE_CONTACT "FwUpgrade maintainers <fwupgrade@ondrex.invalid>" CACHE STRING
    "Maintainer of the packages (name <address>)")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for 6G-SDI fibre extender units (serial port)")
set(CPACK_PACKAGE_CHECKSUM SHA256) # a .sha256 file beside each package
set(CPACK_FWUPGRADE_SOURCE_DIR "${CMAKE_SOURCE_DIR}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_SOURCE_DIR}/cmake/SourceDateEpoch.cmake")
set(CPACK_STRIP_FILES OFF) # the packed program is byte for byte the reproducible build's

if(WIN32)
  configure_file(packaging/README-windows.txt.in packaging/README.txt @ONLY NEWLINE_STYLE WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "FwUpgrade-${FWUPGRADE_RELEASE_VERSION}-windows-x64")
  install(TARGETS FwUpgrade RUNTIME DESTINATION .)
  install(FILES "${CMAKE_BINARY_DIR}/packaging/README.txt" "${IMAGES_SHA256}" DESTINATION .)
  install(CODE "set(FWUPGRADE_SUMMED FwUpgrade.exe README.txt IMAGES-SHA256.txt)")
  install(SCRIPT cmake/Sha256Sums.cmake)
else()
  include(GNUInstallDirs)
  configure_file(packaging/README-linux.txt.in packaging/README.txt @ONLY)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME fwupgrade)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # libodbc2 (unixODBC) among them: --records-db
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql") # the plant database's driver, PostgreSQL's here
  set(CPACK_PACKAGE_DESCRIPTION "FwUpgrade ${PROJECT_VERSION} updates the firmware of a 6G-SDI fibre extender
unit (TX or RX) over a serial port with the firmware ${FIRMWARE_VERSION} it carries
(${IMAGES_KIND}). Users must be in the dialout group to open serial ports.")
  install(TARGETS FwUpgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(CODE "set(FWUPGRADE_PROGRAM \"$<TARGET_FILE:FwUpgrade>\")
                set(FWUPGRADE_MAN_INCLUDE \"${CMAKE_SOURCE_DIR}/packaging/FwUpgrade.h2m\")
                set(FWUPGRADE_MAN_DIR \"${CMAKE_BINARY_DIR}/packaging\")
                set(CPACK_FWUPGRADE_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")")
  install(SCRIPT cmake/ManPage.cmake)
  install(FILES "${CMAKE_BINARY_DIR}/packaging/README.txt" "${IMAGES_SHA256}"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fwupgrade)
  # The station as a service, not enabled: where Debian 12's packages put their units.
  install(FILES packaging/fwupgrade-station.service DESTINATION /lib/systemd/system)
endif()
include(CPack)
