# What `cmake --install` lays out beside the programs (each program's folder installs its own
# executable), and the Debian package CPack makes of it (scripts/package.sh):
#
#   bin/keystation, keystation-cli, kdbtool
#   share/keystation/             config.ini, devices.ini, lang/: the defaults a program copies
#                                 into an operator's application directory on its first start
#   lib/udev/rules.d/             the rule that opens the boards' device nodes to plugdev
#   share/applications/, share/icons/hicolor/scalable/apps/   menu entry and icon (gui/)
#   share/doc/keystation/         copyright, changelog.gz
#   share/man/man1/               a manual page per program
#
# An installed program finds its defaults at ../share/keystation/ from its own folder
# (kInstalledDefaults in platform/machine/StationMachine.h), so the data folder must stay there.
include(GNUInstallDirs)

set(KS_PACKAGE_MAINTAINER "Keystation maintainers <keystation@example.com>"
    CACHE STRING "Maintainer field of the Debian package")
set(KS_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule is installed, relative to the installation prefix")

if(NOT CMAKE_INSTALL_BINDIR STREQUAL "bin" OR NOT CMAKE_INSTALL_DATADIR STREQUAL "share")
  message(FATAL_ERROR "The programs find their defaults at ../share/keystation/: keep "
                      "CMAKE_INSTALL_BINDIR=bin and CMAKE_INSTALL_DATADIR=share")
endif()

set(_ks_data ${PROJECT_SOURCE_DIR}/data)
install(FILES ${_ks_data}/config.ini ${_ks_data}/devices.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/keystation)
install(DIRECTORY ${_ks_data}/lang/ DESTINATION ${CMAKE_INSTALL_DATADIR}/keystation/lang
        FILES_MATCHING PATTERN "*.ini")
install(FILES ${_ks_data}/udev/70-keystation.rules DESTINATION ${KS_UDEV_RULES_DIR})

# Debian's documentation: the copyright file, the changelog and a manual page per program, the
# last two compressed without a time stamp.
set(KS_PACKAGE_VERSION ${PROJECT_VERSION})
set(_ks_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_ks_pkg_out ${PROJECT_BINARY_DIR}/packaging)
find_program(KS_GZIP gzip REQUIRED)
function(ks_install_gzipped template destination)
  get_filename_component(_name ${template} NAME_WLE)
  if(NOT template MATCHES "\\.in$")
    get_filename_component(_name ${template} NAME)
  endif()
  configure_file(${template} ${_ks_pkg_out}/${_name} @ONLY)
  execute_process(COMMAND ${KS_GZIP} -9nc ${_ks_pkg_out}/${_name}
                  OUTPUT_FILE ${_ks_pkg_out}/${_name}.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${_ks_pkg_out}/${_name}.gz DESTINATION ${destination})
endfunction()
ks_install_gzipped(${_ks_pkg}/changelog.in ${CMAKE_INSTALL_DOCDIR})
foreach(program keystation keystation-cli kdbtool)
  if(TARGET ${program})
    ks_install_gzipped(${_ks_pkg}/man/${program}.1 ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
install(FILES ${_ks_pkg}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The package. Its library dependencies come from dpkg-shlibdeps; the window program also needs a
# Qt platform plugin, which no library of it names.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME keystation)
set(CPACK_PACKAGE_VERSION ${KS_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${KS_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "production-line key provisioning station")
# Debian wants the long description in lines of at most 80 characters.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Writes keys from a key database file into boards in loader mode, up to\n"
       "sixteen at a time, and records every key it hands out, so that no key goes\n"
       "to two boards, also across restarts and power cuts. It comes as an operator\n"
       "window (keystation), the same station without a window for automation\n"
       "(keystation-cli) and a tool that creates and checks key files (kdbtool).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KS_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET keystation)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, fonts-wqy-microhei, qt6-translations-l10n")
else()
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_ks_pkg}/postinst ${_ks_pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
