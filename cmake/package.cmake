# The Debian packages, cut by CPack from the install components:
#   holvanter             the component, headers, CMake and pkg-config files,
#                         tavocard, the agent, the /etc/holvanter settings link
#   holvanter-stand-ins   the stand-in encoder and card-reader libraries, for
#                         desks without the vendor's own
# `./run package` makes them (cpack -G DEB in the build folder).
set(CPACK_PACKAGE_NAME holvanter)
set(CPACK_PACKAGE_VENDOR Holvanter)
set(CPACK_PACKAGE_CONTACT "Holvanter front-desk team <frontdesk@holvanter.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# Installed with DESTDIR, so that the prefix seen while installing is /usr,
# the one holvanter.pc names, and the settings folder lands in the package's
# /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL holvanter debian-settings stand-ins)
set(CPACK_COMPONENT_HOLVANTER_GROUP holvanter)
set(CPACK_COMPONENT_DEBIAN-SETTINGS_GROUP holvanter)
set(CPACK_COMPONENT_STAND-INS_GROUP stand-ins)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# tavocard needs libholvanter.so, which the same package brings.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_HOLVANTER_PACKAGE_NAME holvanter)
set(CPACK_DEBIAN_HOLVANTER_DESCRIPTION
"TavoCard hotel key-card issuing component
Issues guest and villa key cards at a hotel front desk, reads them back and
checks them out, recording every card in the hotel database (SQLite, or a
server database through ODBC). Brings libholvanter (C++ API and C ABI), its
headers, CMake and pkg-config files, and the tavocard front-desk command.
The hotel's settings file is /etc/holvanter/Tavoper.ini.")
# Every card needs an encoder library; the stand-ins serve until the
# vendor's own are in place.
set(CPACK_DEBIAN_HOLVANTER_PACKAGE_SUGGESTS holvanter-stand-ins)
set(CPACK_DEBIAN_STAND-INS_PACKAGE_NAME holvanter-stand-ins)
set(CPACK_DEBIAN_STAND-INS_DESCRIPTION
"Stand-in encoder and card-reader libraries for Holvanter
liblyComm.so keeps each encoder's card as a file, libmwic_32.so deciphers
the hotel system code. For trying Holvanter and for desks without the
vendor's own libraries.")
set(CPACK_DEBIAN_STAND-INS_PACKAGE_DEPENDS "holvanter (= ${PROJECT_VERSION})")

include(CPack)
