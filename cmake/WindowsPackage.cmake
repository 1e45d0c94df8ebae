# The programs' resources: every .exe gets packaging/windows/keystation.manifest (common controls
# 6, per-monitor DPI awareness v2, longPathAware, asInvoker), the icon drawn from
# data/icons/keystation.svg and a version resource.
set(_ks_icon ${PROJECT_BINARY_DIR}/windows-data/keystation.ico)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(
  OUTPUT ${_ks_icon}
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/packaging/windows/svg_to_ico.py
          ${PROJECT_SOURCE_DIR}/data/icons/keystation.svg ${_ks_icon}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/windows/svg_to_ico.py
          ${PROJECT_SOURCE_DIR}/data/icons/keystation.svg
  COMMENT "Windows icon from keystation.svg"
  VERBATIM)
add_custom_target(windows-icon DEPENDS ${_ks_icon})
function(ks_windows_resources target description)
  if(NOT TARGET ${target})
    return()
  endif()
  set(KS_RC_NAME ${target})
  set(KS_RC_DESCRIPTION "${description}")
  set(KS_RC_MANIFEST ${PROJECT_SOURCE_DIR}/packaging/windows/keystation.manifest)
  set(KS_RC_ICON ${_ks_icon})
  set(KS_RC_MINOR ${PROJECT_VERSION_MINOR})
  if(NOT KS_RC_MINOR)
    set(KS_RC_MINOR 0)
  endif()
  set(_rc ${PROJECT_BINARY_DIR}/windows-data/${target}-resources.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${_rc} @ONLY)
  set_source_files_properties(${_rc} PROPERTIES OBJECT_DEPENDS
                              "${_ks_icon};${KS_RC_MANIFEST}")
  target_sources(${target} PRIVATE ${_rc})
  add_dependencies(${target} windows-icon)
endfunction()
ks_windows_resources(keystation "Keystation, the key provisioning station")
ks_windows_resources(keystation-cli "Keystation console station")
ks_windows_resources(kdbtool "Keystation key database tool")

# The Windows driver template and installer: data/windows/keystation-winusb.inf made from the
# loader ids of data/devices.ini, and build-win/keystation-setup.exe made by NSIS
# (packaging/windows/keystation.nsi) from the programs and the shipped defaults.

# One INF line per [ChipTable] row ("VVVV:PPPP=code").
file(STRINGS ${PROJECT_SOURCE_DIR}/data/devices.ini _ks_rows REGEX "^[0-9A-Fa-f]+:[0-9A-Fa-f]+=")
set(KS_INF_DEVICES "")
foreach(row ${_ks_rows})
  string(REGEX MATCH "^([0-9A-Fa-f]+):([0-9A-Fa-f]+)=" _m "${row}")
  string(TOUPPER "${CMAKE_MATCH_1}" _vid)
  string(TOUPPER "${CMAKE_MATCH_2}" _pid)
  string(APPEND KS_INF_DEVICES
         "%DeviceName% = LoaderBoard_Install, USB\\VID_${_vid}&PID_${_pid}\n")
endforeach()
set(KS_WINDOWS_DATA ${PROJECT_BINARY_DIR}/windows-data)
configure_file(${PROJECT_SOURCE_DIR}/data/windows/keystation-winusb.inf.in
               ${KS_WINDOWS_DATA}/keystation-winusb.inf @ONLY NEWLINE_STYLE CRLF)

find_program(KS_MAKENSIS makensis)
if(KS_MAKENSIS AND TARGET keystation-cli AND TARGET kdbtool)
  set(_ks_gui_define)
  set(_ks_deps keystation-cli kdbtool)
  if(TARGET keystation)
    set(_ks_gui_define -DKS_GUI=$<TARGET_FILE:keystation>)
    list(APPEND _ks_deps keystation)
  endif()
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/keystation-setup.exe
    COMMAND ${KS_MAKENSIS} -V2 -DKS_VERSION=${PROJECT_VERSION}
            -DKS_OUT=${PROJECT_BINARY_DIR}/keystation-setup.exe
            -DKS_CLI=$<TARGET_FILE:keystation-cli> -DKS_KDBTOOL=$<TARGET_FILE:kdbtool>
            ${_ks_gui_define} -DKS_DATA=${PROJECT_SOURCE_DIR}/data
            -DKS_INF=${KS_WINDOWS_DATA}/keystation-winusb.inf
            -DKS_DOC=${PROJECT_SOURCE_DIR}/docs/windows.md
            ${PROJECT_SOURCE_DIR}/packaging/windows/keystation.nsi
    DEPENDS ${_ks_deps} ${PROJECT_SOURCE_DIR}/packaging/windows/keystation.nsi
            ${KS_WINDOWS_DATA}/keystation-winusb.inf
    COMMENT "NSIS: keystation-setup.exe"
    VERBATIM)
  add_custom_target(windows-installer DEPENDS ${PROJECT_BINARY_DIR}/keystation-setup.exe)
endif()
