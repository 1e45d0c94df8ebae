; The Windows station's installer (makensis; cmake/WindowsPackage.cmake passes the paths).
; Installs for the current operator, without administrator rights, into a folder the station may
; write: its config.ini, logs and RKP files live beside the programs. The shipped defaults go to
; data\, from where the station seeds config.ini, devices.ini and lang\ on its first start and
; never replaces them afterwards, so settings survive an update.
; A 64-bit installer for the 64-bit programs (it also runs under a 64-bit-only Wine).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!ifndef KS_VERSION
  !define KS_VERSION "1.0"
!endif

Name "Keystation ${KS_VERSION}"
OutFile "${KS_OUT}"
InstallDir "$LOCALAPPDATA\Keystation"
InstallDirRegKey HKCU "Software\Keystation" "InstallDir"
ShowInstDetails show
ShowUnInstDetails show

!include "MUI2.nsh"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Keystation"

Section "Keystation" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${KS_CLI}"
  File "${KS_KDBTOOL}"
!ifdef KS_GUI
  File "${KS_GUI}"
!endif
  File /oname=README-windows.md "${KS_DOC}"

  SetOutPath "$INSTDIR\data"
  File "${KS_DATA}\config.ini"
  File "${KS_DATA}\devices.ini"
  SetOutPath "$INSTDIR\data\lang"
  File "${KS_DATA}\lang\*.ini"
  SetOutPath "$INSTDIR\driver"
  File "${KS_INF}"

  SetOutPath "$INSTDIR"
  CreateDirectory "$SMPROGRAMS\Keystation"
!ifdef KS_GUI
  CreateShortcut "$SMPROGRAMS\Keystation\Keystation.lnk" "$INSTDIR\keystation.exe" "" \
                 "$INSTDIR\keystation.exe" 0
!else
  CreateShortcut "$SMPROGRAMS\Keystation\Keystation console.lnk" "$SYSDIR\cmd.exe" \
                 '/k "cd /d "$INSTDIR" && keystation-cli.exe --help"'
!endif
  CreateShortcut "$SMPROGRAMS\Keystation\Uninstall.lnk" "$INSTDIR\uninstall.exe"

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKCU "Software\Keystation" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Keystation"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${KS_VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The programs, the shipped defaults and the menu entries go; the operator's settings, logs, RKP
; files, port map and key files stay.
Section "Uninstall"
  Delete "$INSTDIR\keystation-cli.exe"
  Delete "$INSTDIR\kdbtool.exe"
  Delete "$INSTDIR\keystation.exe"
  Delete "$INSTDIR\README-windows.md"
  RMDir /r "$INSTDIR\data"
  RMDir /r "$INSTDIR\driver"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir /r "$SMPROGRAMS\Keystation"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "Software\Keystation"
SectionEnd
