; The Windows setup program: installs the release folder's content for all users into Program
; Files, adds a Start menu shortcut to the GUI and registers an uninstaller that removes exactly
; what was installed. The user's data (the update journal under %LOCALAPPDATA%\kelvo and the
; settings under HKCU\Software\Orlenta) is never touched.
;
; Made by makensis from the build (cmake/Setup.cmake), which defines:
;   VERSION   the project version (1.2.3)
;   STAGE     the folder with the files to install (the release zip's content and LICENSE.txt)
;   FILES     the generated include file: the macros InstallFiles and UninstallFiles
;   ICON      the program icon (.ico)
;   OUTFILE   the setup program to write
;
; Command line: /S silent, /D=<folder> the install folder (last, unquoted). Exit status: 0
; installed, 1 cancelled by the user, 2 not installed (a program still running, or an error).

; A 64-bit setup for 64-bit programs: it runs where they run (and under a 64-bit-only Wine), and
; sees the 64-bit Program Files and registry without redirection.
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma
SetCompressorDictSize 32

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define PRODUCT "Kelvo Firmware Update"
!define PUBLISHER "Kelvo firmware tools"
!define GUI_EXE "kelvo-firmware-update.exe"
!define CLI_EXE "kelvo-update.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KelvoFirmwareUpdate"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
!define STATION_SHORTCUT "$SMPROGRAMS\${PRODUCT} Station.lnk"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An upgrade goes where the installed version is, unless /D= or the folder page says otherwise.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Kelvo Firmware Update developers"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\${GUI_EXE}"
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT}"

!insertmacro MUI_PAGE_LICENSE "${STAGE}/LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!include "${FILES}"

; CheckWritable NAME: $2 becomes NAME when the program NAME in the folder $0 runs (a running
; program's file cannot be opened for writing); unchanged when it does not or is not there.
!macro CheckWritable NAME
  ${If} ${FileExists} "$0\${NAME}"
    ClearErrors
    FileOpen $1 "$0\${NAME}" a
    ${If} ${Errors}
      StrCpy $2 "${NAME}"
    ${Else}
      FileClose $1
    ${EndIf}
  ${EndIf}
!macroend

; [un.]RequireClosed, the folder on the stack: returns once neither program in the folder runs.
; The operator is asked to close it and may retry; silent, or when the operator gives up, the
; setup stops with exit status 2 before it has changed anything.
!macro RequireClosed PREFIX
Function ${PREFIX}RequireClosed
  Exch $0
  Push $1
  Push $2
  ${Do}
    StrCpy $2 ""
    !insertmacro CheckWritable "${GUI_EXE}"
    !insertmacro CheckWritable "${CLI_EXE}"
    ${If} $2 == ""
      ${Break}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$2 is running.$\r$\n$\r$\nClose \
        ${PRODUCT} and every window in which kelvo-update runs, then press Retry." \
        /SD IDCANCEL IDRETRY retry
    DetailPrint "$0\$2 is running: close it, then run this again."
    SetErrorLevel 2
    Abort "$2 is running: close it, then run this again."
    retry:
  ${Loop}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro RequireClosed ""
!insertmacro RequireClosed "un."

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Install"
  ; An earlier installation, wherever it is: its programs must not run, and its own uninstaller
  ; removes its files (run in place, so that it finishes before this goes on).
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  Push $INSTDIR
  Call RequireClosed
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\${UNINSTALLER}"
    Push $0
    Call RequireClosed
    DetailPrint "Removing the installed version from $0"
    ClearErrors
    ExecWait '"$0\${UNINSTALLER}" /S _?=$0' $1
    ${If} ${Errors}
    ${OrIf} $1 != 0
      DetailPrint "The installed version's uninstaller failed ($1): its files are replaced."
    ${EndIf}
    Delete "$0\${UNINSTALLER}"
    RMDir "$0"
  ${EndIf}

  !insertmacro InstallFiles
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  CreateShortCut "${SHORTCUT}" "$INSTDIR\${GUI_EXE}" "" "$INSTDIR\${GUI_EXE}" 0 \
      SW_SHOWNORMAL "" "Update the firmware of a Kelvo data logger"
  CreateShortCut "${STATION_SHORTCUT}" "$INSTDIR\${GUI_EXE}" "--station" "$INSTDIR\${GUI_EXE}" 0 \
      SW_SHOWNORMAL "" "Update every Kelvo data logger plugged in"

  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${GUI_EXE},0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

; Removes the installed files by name, then the folders if they are empty: whatever else the
; user put there stays, and so does the user's data, which lives elsewhere.
Section "Uninstall"
  Push $INSTDIR
  Call un.RequireClosed
  Delete "${SHORTCUT}"
  Delete "${STATION_SHORTCUT}"
  !insertmacro UninstallFiles
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
