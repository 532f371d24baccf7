; The NIMBARA installer for 64-bit Windows, itself a 64-bit program. makensis -DVERSION=... -DSOURCE_DIR=<program folder>
; -DOUTPUT=<installer> -DICON=<icon>. "/S" installs silently (the update check uses it).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"

Name "NIMBARA ${VERSION}"
OutFile "${OUTPUT}"
InstallDir "$PROGRAMFILES64\NIMBARA"
InstallDirRegKey HKLM "Software\NIMBARA" "InstallDir"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\NIMBARA"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

Function .onInit
    SetRegView 64
FunctionEnd

Section "NIMBARA"
    SetOutPath "$INSTDIR"
    ; The programs, their libraries and Qt's plugins; the tests of the build stay out.
    File "${SOURCE_DIR}\nimbara.exe"
    File "${SOURCE_DIR}\nimbara-ssh-askpass.exe"
    File "${SOURCE_DIR}\nimbara-xls-reader.exe"
    File "${SOURCE_DIR}\wfreerdp.exe"
    File /x Qt6Test.dll "${SOURCE_DIR}\*.dll"
    File /r "${SOURCE_DIR}\platforms"
    File /r "${SOURCE_DIR}\sqldrivers"
    File /r "${SOURCE_DIR}\styles"
    File /r "${SOURCE_DIR}\tls"
    File /r "${SOURCE_DIR}\imageformats"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\NIMBARA.lnk" "$INSTDIR\nimbara.exe"
    WriteRegStr HKLM "Software\NIMBARA" "InstallDir" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "NIMBARA"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\nimbara.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
SectionEnd

Section "Uninstall"
    SetRegView 64
    ; The user's data under AppData stays: removing the program must not remove the host list.
    RMDir /r "$INSTDIR\platforms"
    RMDir /r "$INSTDIR\sqldrivers"
    RMDir /r "$INSTDIR\styles"
    RMDir /r "$INSTDIR\tls"
    RMDir /r "$INSTDIR\imageformats"
    Delete "$INSTDIR\*.dll"
    Delete "$INSTDIR\*.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\NIMBARA.lnk"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "Software\NIMBARA"
SectionEnd
