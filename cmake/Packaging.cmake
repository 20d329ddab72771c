# Debian package: the driver, the command-line tools (their own install rules), the desktop entry,
# the icon, the example settings file and the operator guide.
#   cd build && cpack -G DEB

# The icon's pictures are drawn with the window's other pictures; DRV_ICON_DIR holds them as
# driver_icon_<size>.png (and driver_icon.svg when there is a scalable one).
set(DRV_ICON_DIR "${PROJECT_SOURCE_DIR}/ui/resources" CACHE PATH
    "Directory holding the driver's icon as driver_icon_<size>.png")

install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.desktop
        DESTINATION share/applications)
set(drv_icon_found OFF)
foreach(size 16 32 48 64 128 256)
  if(EXISTS ${DRV_ICON_DIR}/driver_icon_${size}.png)
    install(FILES ${DRV_ICON_DIR}/driver_icon_${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME drvtirval2000n.png)
    set(drv_icon_found ON)
  endif()
endforeach()
if(EXISTS ${DRV_ICON_DIR}/driver_icon.svg)
  install(FILES ${DRV_ICON_DIR}/driver_icon.svg
          DESTINATION share/icons/hicolor/scalable/apps RENAME drvtirval2000n.svg)
  set(drv_icon_found ON)
endif()
if(NOT drv_icon_found)
  message(WARNING "No driver_icon_<size>.png in ${DRV_ICON_DIR}: the package has no icon")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/drvtirval2000n.ini.example
              ${PROJECT_SOURCE_DIR}/docs/OPERATOR_GUIDE.md
        DESTINATION share/doc/drvtirval2000n)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drvtirval2000n)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "drvtirval2000n maintainers")
set(CPACK_PACKAGE_CONTACT "drvtirval2000n maintainers <maintainers@users.noreply.c-seed-5bf0f9fc.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Receiver driver between a central receiving station and a monitoring message server")
# The summary above is the first line of the package's description; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "drvtirval2000n answers every frame of a central receiving station on a serial line
with a reply byte, decodes the alarms it carries into 27-byte event records and
delivers them to the monitoring complex's message server over TCP. While the server
cannot take them, the records are spooled to disk and sent later.

The package also holds the service tools drvtirval-station (a station simulator),
drvtirval-server (a message-server simulator), drvtirval-decode and drvtirval-spool.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The library dependencies are read from the binaries when dpkg-shlibdeps (dpkg-dev) is there.
find_program(DRV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DRV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, libqt6gui6, libqt6core6, libstdc++6, libc6")
endif()
include(CPack)
