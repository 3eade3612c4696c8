; Tagvista's Windows installer (makensis, 64-bit stub). The build gives it:
;   VERSION   the project's version, three numbers
;   FILES     the folder that holds the programs and DLLs to install
;   ICON      the installer's icon
;   OUTFILE   the setup program to write
; It installs under Program Files, registers the proxy/stub of the OPC interfaces, the in-process
; servers and the local server program, adds the Start-menu entry and the entry in the list of
; installed programs. The uninstaller undoes all of it; the users' settings under
; HKEY_CURRENT_USER\Software\Quellmark stay. /S runs either without a window.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include LogicLib.nsh
!include FileFunc.nsh
!include MUI2.nsh

!define PRODUCT "Tagvista"
!define PUBLISHER "Quellmark"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tagvista"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\tagvista.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

; Runs a registration step and stops the install when it fails: a server that is not registered
; is not there for any client, so a half-registered install must not look like a good one.
!macro RegisterStep COMMAND WHAT
  DetailPrint "Registering ${WHAT}"
  ClearErrors
  ExecWait '${COMMAND}' $0
  ${If} ${Errors}
  ${OrIf} $0 != 0
    MessageBox MB_ICONSTOP "Registering ${WHAT} failed (exit code $0)." /SD IDOK
    SetErrorLevel 3
    Abort "Registering ${WHAT} failed"
  ${EndIf}
!macroend

; Unregisters what is there; a step that fails is told and the rest goes on, so that an
; uninstall always ends with the files and keys removed.
!macro UnregisterStep COMMAND WHAT
  DetailPrint "Unregistering ${WHAT}"
  ClearErrors
  ExecWait '${COMMAND}' $0
  ${If} ${Errors}
  ${OrIf} $0 != 0
    DetailPrint "Unregistering ${WHAT} failed (exit code $0)"
  ${EndIf}
!macroend

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Tagvista"
  SetOutPath "$INSTDIR"
  File "${FILES}\tagvista.exe"
  File "${FILES}\tagvista-cli.exe"
  File "${FILES}\tagvista-agent.exe"
  File "${FILES}\tagvista-opcproxy.dll"
  File "${FILES}\tagvista-simulation.dll"
  File "${FILES}\tagvista-simserver.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The uninstall entry first, so that a failed registration below still leaves a way out.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tagvista.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; The proxy/stub before the servers: the local server's interfaces cross processes through it.
  !insertmacro RegisterStep '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\tagvista-opcproxy.dll"' "the OPC interfaces' proxy/stub"
  !insertmacro RegisterStep '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\tagvista-simulation.dll"' "the simulation and scale servers"
  !insertmacro RegisterStep '"$INSTDIR\tagvista-simserver.exe" /RegServer' "the simulation server program"

  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\tagvista.exe" "" "$INSTDIR\tagvista.exe" 0 \
                 SW_SHOWNORMAL "" "Browse OPC DA servers and watch their items"
SectionEnd

Section "Uninstall"
  ; The servers before the proxy/stub, the reverse of the install.
  !insertmacro UnregisterStep '"$INSTDIR\tagvista-simserver.exe" /UnregServer' "the simulation server program"
  !insertmacro UnregisterStep '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\tagvista-simulation.dll"' "the simulation and scale servers"
  !insertmacro UnregisterStep '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\tagvista-opcproxy.dll"' "the OPC interfaces' proxy/stub"

  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\tagvista.exe"
  Delete "$INSTDIR\tagvista-cli.exe"
  Delete "$INSTDIR\tagvista-agent.exe"
  Delete "$INSTDIR\tagvista-opcproxy.dll"
  Delete "$INSTDIR\tagvista-simulation.dll"
  Delete "$INSTDIR\tagvista-simserver.exe"
  ; A log the window wrote here when the folder took one (an install outside Program Files).
  Delete "$INSTDIR\tagvista.log"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
