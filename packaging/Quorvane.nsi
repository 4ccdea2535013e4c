; Quorvane's installer: per user, no elevation. Built by packaging/CMakeLists.txt with
;   makensis -DSTAGE=<folder with the files> -DICON=<.ico> -DOUTFILE=<setup.exe> -DVERSION=<x.y.z>
;            [-DSIGN=<scripts/sign-exe>] Quorvane.nsi
; A 64-bit installer for a 64-bit program (and Wine without its 32-bit half runs it).
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef STAGE
  !error "STAGE must be defined"
!endif
!ifndef OUTFILE
  !error "OUTFILE must be defined"
!endif
!ifndef VERSION
  !error "VERSION must be defined"
!endif
!ifndef ICON
  !error "ICON must be defined"
!endif
; The installer and the uninstaller it writes are signed as they are made (when a certificate
; is given to SIGN).
!ifdef SIGN
  !finalize '"${SIGN}" "%1"'
  !uninstfinalize '"${SIGN}" "%1"'
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvane"
; A static verb on every file, for this user: nothing for Explorer to load or lock.
!define VERB_KEY "Software\Classes\*\shell\QuorvaneCheckSignature"
!define SENDTO_LINK "$SENDTO\Quorvane (sign).lnk"

Name "Quorvane"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Quorvane"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Quorvane"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Quorvane Setup"
VIAddVersionKey "LegalCopyright" "MIT licence"

!include "MUI2.nsh"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\Quorvane.exe"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\help.html"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Show the help page"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Tells Explorer that the verbs of files changed, so that the menu shows it at once.
!macro RefreshShellFunction prefix
Function ${prefix}RefreshShell
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
FunctionEnd
!macroend
!insertmacro RefreshShellFunction ""
!insertmacro RefreshShellFunction "un."

Section "Quorvane"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${STAGE}\Quorvane.exe"
  File "${STAGE}\quorvane-cli.exe"
  File "${STAGE}\help.html"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The shortcut starts Quorvane in its own folder, where it looks for help.html.
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\Quorvane.lnk" "$INSTDIR\Quorvane.exe" "" "$INSTDIR\Quorvane.exe" 0
  ; Send To hands the whole selection to the shortcut's program on one command line.
  CreateShortCut "${SENDTO_LINK}" "$INSTDIR\Quorvane.exe" "" "$INSTDIR\Quorvane.exe" 0

  ; Offered for one selected file only: twenty selected files must not open twenty windows.
  WriteRegStr HKCU "${VERB_KEY}" "" "Check signature"
  WriteRegStr HKCU "${VERB_KEY}" "Icon" '"$INSTDIR\Quorvane.exe",0'
  WriteRegStr HKCU "${VERB_KEY}" "MultiSelectModel" "Single"
  WriteRegStr HKCU "${VERB_KEY}\command" "" '"$INSTDIR\Quorvane.exe" /check "%1"'
  Call RefreshShell

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Quorvane"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "The Quorvane developers"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Quorvane.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\Quorvane.lnk"
  Delete "${SENDTO_LINK}"
  DeleteRegKey HKCU "${VERB_KEY}"
  ; The keys above ours go only when installing made them and nothing else is in them.
  DeleteRegKey /ifnosubkeys /ifnovalues HKCU "Software\Classes\*\shell"
  DeleteRegKey /ifnosubkeys /ifnovalues HKCU "Software\Classes\*"
  Call un.RefreshShell
  Delete "$INSTDIR\Quorvane.exe"
  Delete "$INSTDIR\quorvane-cli.exe"
  Delete "$INSTDIR\help.html"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\Uninstall.exe"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ; Last: the folder's going tells that the uninstaller is done.
  RMDir "$INSTDIR"
SectionEnd
