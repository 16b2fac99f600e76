# Where `cmake --install` puts a release, and the two ways other projects
# find the component: the CMake package (find_package(Holvanter) ->
# Holvanter::holvanter) and pkg-config (holvanter.pc).
#
# Install components, which the Debian packages are cut from:
#   holvanter        the component, its headers, tavocard, the agent, docs
#   stand-ins        the stand-in encoder and card-reader libraries
#   debian-settings  the link that puts Tavoper.ini under /etc (packages only)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(HOLVANTER_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Holvanter)

# Programs find the component through a run path relative to themselves, so
# an installed tree works wherever it is unpacked and nothing of the build
# folder stays in it.
file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set(HOLVANTER_PROGRAM_RPATH "$ORIGIN/${bin_to_lib}")

# The component and its stand-in vendor libraries lie in one folder, the one
# the component searches for them and for Tavoper.ini.
install(TARGETS holvanter EXPORT HolvanterTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT holvanter
                NAMELINK_COMPONENT holvanter
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT holvanter
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT holvanter
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/holvanter
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT holvanter)
install(FILES ${CMAKE_BINARY_DIR}/generated/holvanter/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/holvanter COMPONENT holvanter)
foreach(standin lycomm_sim mwic_32_sim)
  if(TARGET ${standin})
    install(TARGETS ${standin}
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT stand-ins
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT stand-ins)
  endif()
endforeach()

# The front-desk command and the front-desk agent, where this build has them
# (on Linux the agent is `tavocard serve`).
foreach(program tavocard tavocard-agent)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "${HOLVANTER_PROGRAM_RPATH}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT holvanter)
  endif()
endforeach()
# The agent's systemd unit, where the agent brings one.
file(GLOB HOLVANTER_UNITS ${CMAKE_SOURCE_DIR}/*/*.service ${CMAKE_SOURCE_DIR}/*/*/*.service)
if(HOLVANTER_UNITS AND NOT WIN32)
  install(FILES ${HOLVANTER_UNITS} DESTINATION lib/systemd/system COMPONENT holvanter)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT holvanter)
# The documents for each reader, beside the README that maps them.
if(EXISTS ${CMAKE_SOURCE_DIR}/docs)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT holvanter)
endif()
# tavocard's manual page, made from its help at build time.
if(TARGET tavocard_manpage)
  install(FILES ${CMAKE_BINARY_DIR}/man/tavocard.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT holvanter)
endif()

# The CMake package.
install(EXPORT HolvanterTargets NAMESPACE Holvanter:: DESTINATION ${HOLVANTER_CMAKE_DIR}
        COMPONENT holvanter)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/HolvanterConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/HolvanterConfig.cmake
                              INSTALL_DESTINATION ${HOLVANTER_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/HolvanterConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/HolvanterConfig.cmake
              ${CMAKE_BINARY_DIR}/HolvanterConfigVersion.cmake
        DESTINATION ${HOLVANTER_CMAKE_DIR} COMPONENT holvanter)

if(NOT WIN32)
  # holvanter.pc names the prefix the tree is installed under, which is known
  # only when it is installed (`cmake --install --prefix`, or /usr in the
  # Debian package): the prefix is filled in then.
  set(HOLVANTER_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/holvanter.pc.in
                 ${CMAKE_BINARY_DIR}/pkgconfig/holvanter.pc.in @ONLY)
  install(CODE "configure_file(\"${CMAKE_BINARY_DIR}/pkgconfig/holvanter.pc.in\"
                               \"${CMAKE_BINARY_DIR}/pkgconfig/holvanter.pc\" @ONLY)"
          COMPONENT holvanter)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/holvanter.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT holvanter)

  # In the Debian package Tavoper.ini is a hotel's settings file under
  # /etc/holvanter; the component looks for it beside itself, so a link
  # there leads to it. The package ships the link and the folder, never the
  # file: an upgrade or a removal leaves the hotel's settings alone. The
  # link is relative so that an unpacked tree (dpkg --root) keeps to itself.
  file(RELATIVE_PATH lib_to_etc /usr/${CMAKE_INSTALL_LIBDIR} /etc/holvanter)
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/Tavoper.ini\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}/etc/holvanter\")
    file(CREATE_LINK \"${lib_to_etc}/Tavoper.ini\" \"\${link}\" SYMBOLIC)"
          COMPONENT debian-settings EXCLUDE_FROM_ALL)
endif()


if(WIN32)
  # The Windows installer (packaging/windows/holvanter.nsi) takes the release
  # number from here.
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/holvanter-version.nsh
       CONTENT "!define VERSION \"${PROJECT_VERSION}\"\n")
endif()

if(NOT WIN32)
  include(${CMAKE_SOURCE_DIR}/cmake/package.cmake)
endif()
