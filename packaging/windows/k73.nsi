; The Windows installer of the Model K73 software, built by
; scripts/windows/release.sh with
;   VERSION          the project's version (1.0.0)
;   STAGE            the folder whose files are installed
;   UNINSTALL_FILES  the Delete and RMDir lines for exactly those files
;   SIZE_KB          their size, for Add/Remove Programs
;   OUTFILE          the installer to write
;
; Silent use:  k73-<version>-win64-setup.exe /S [/ADDTOPATH] [/D=C:\path]
;              "%LOCALAPPDATA%\Programs\K73\uninstall.exe" /S
; A per-user install: it needs no administrator rights, and everything it
; makes belongs to the account that runs it. Programs go to that user's own
; program folder (AppData\Local\Programs\K73), the Start-menu shortcuts and
; the Add/Remove Programs entry to that user's profile and registry, and the
; optional PATH entry to that user's PATH, with the note that it was added
; beside the entry. The console program keeps its settings and data files in
; its working directory, so its shortcut starts it in the user's
; Documents\K73: created here, and left alone by the uninstaller (it holds
; the user's settings and measurements). Another account runs the installer
; itself to get its own copy.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include StrFunc.nsh
!include WinMessages.nsh

!define PRODUCT "Model K73 converter software"
!define PUBLISHER "Marquant"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\K73"
!define DATA_DIR "$DOCUMENTS\K73"
!define MENU_DIR "$SMPROGRAMS\K73"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\K73"
; An update goes where the installed version is.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) ${PUBLISHER}"

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

${StrLoc}
${UnStrRep}

Section "Programs, driver and SDK" SecMain
  SectionIn RO
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The working directory of the console shortcut is the folder current
  ; when the shortcut is made.
  CreateDirectory "${DATA_DIR}"
  CreateDirectory "${MENU_DIR}"
  SetOutPath "${DATA_DIR}"
  CreateShortCut "${MENU_DIR}\K73 Console.lnk" "$INSTDIR\tovcon.exe" "" \
    "$INSTDIR\tovcon.exe" 0 SW_SHOWNORMAL "" "Model K73 console (settings and data in Documents\K73)"
  CreateShortCut "${MENU_DIR}\K73 Data Folder.lnk" "${DATA_DIR}" "" "" 0 SW_SHOWNORMAL "" \
    "The console's settings and data files"
  SetOutPath "$INSTDIR"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tovcon.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Off unless chosen on the components page or given as /ADDTOPATH.
Section /o "Add the program folder to my PATH" SecPath
  ; A value longer than the installer's strings cannot be read whole, and
  ; writing back what was read would cut it: such a PATH is left alone.
  ClearErrors
  ReadRegStr $0 HKCU "Environment" "Path"
  StrCpy $5 ""
  ${If} ${Errors}
    StrCpy $4 0
    ${Do}
      EnumRegValue $5 HKCU "Environment" $4
      ${IfThen} $5 == "" ${|} ${ExitDo} ${|}
      ${IfThen} $5 == "Path" ${|} ${ExitDo} ${|}
      IntOp $4 $4 + 1
    ${Loop}
  ${EndIf}
  StrLen $1 "$0;$INSTDIR"
  ${StrLoc} $3 ";$0;" ";$INSTDIR;" ">"
  ${If} $3 != ""
    DetailPrint "PATH already holds $INSTDIR"
  ${ElseIf} $5 == "Path"
  ${OrIf} $1 >= ${NSIS_MAX_STRLEN}
    MessageBox MB_OK|MB_ICONEXCLAMATION "Your PATH is too long to be changed here; add $INSTDIR to it yourself." /SD IDOK
  ${Else}
    ${If} $0 == ""
      StrCpy $0 "$INSTDIR"
    ${Else}
      StrCpy $0 "$0;$INSTDIR"
    ${EndIf}
    WriteRegExpandStr HKCU "Environment" "Path" "$0"
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "AddedToPath" 1
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=500
  ${EndIf}
SectionEnd

Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/ADDTOPATH" $1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecPath} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext current
  ReadRegDWORD $0 HKCU "${UNINSTALL_KEY}" "AddedToPath"
  ${If} $0 = 1
    ClearErrors
    ReadRegStr $0 HKCU "Environment" "Path"
    ${IfNot} ${Errors} ; gone, or too long to rewrite whole
      ; ";a;dir;b;" without ";dir;", then without the outer separators.
      ${UnStrRep} $1 ";$0;" ";$INSTDIR;" ";"
      StrCpy $1 $1 "" 1
      StrCpy $1 $1 -1
      ${If} $1 == ""
        DeleteRegValue HKCU "Environment" "Path"
      ${ElseIf} $1 != $0
        WriteRegExpandStr HKCU "Environment" "Path" "$1"
      ${EndIf}
      SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=500
    ${EndIf}
  ${EndIf}

  Delete "${MENU_DIR}\K73 Console.lnk"
  Delete "${MENU_DIR}\K73 Data Folder.lnk"
  RMDir "${MENU_DIR}"
  !include "${UNINSTALL_FILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
