; Telegate installer (64-bit, Unicode). Built by scripts/package-windows.sh:
;   makensis -DVERSION=<x.y.z> -DSTAGE=<staged folder> -DOUTFILE=<setup.exe> Telegate.nsi
;
; Installs into Program Files, registers the OPC server (Telegate.exe /RegServer)
; and its proxy/stub (regsvr32 TelegatePS.dll), adds start-menu entries and an
; entry in "Programs and Features". The uninstaller undoes exactly that.
;
; Telegate keeps its configuration beside the executable and rewrites it while it
; runs, so the installer lets the local Users group modify the program folder, and
; the configuration the operator built (iec104.cfg, iec104sr.bin, cnf.ini) survives
; both an update and an uninstall: the samples are copied only where no
; configuration exists yet, and the uninstaller leaves the operator's files.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!ifndef VERSION
  !error "VERSION must be defined"
!endif
!ifndef STAGE
  !error "STAGE must be defined"
!endif
!ifndef OUTFILE
  !define OUTFILE "Telegate-${VERSION}-setup.exe"
!endif

!define PRODUCT "Telegate"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Telegate"
; Marks a folder this installer owns, so a silent uninstall never wipes a
; folder somebody pointed it at by mistake.
!define MARKER "Telegate.installed"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Telegate"
InstallDirRegKey HKLM "${UNINSTKEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Telegate"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Telegate" SecMain
  SectionIn RO
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "${STAGE}/Telegate.exe"
  File "${STAGE}/TelegatePS.dll"
  File "${STAGE}/telegate-sim.exe"
  File "${STAGE}/README-Windows.txt"
  File /r "${STAGE}/web"
  FileOpen $0 "$INSTDIR\${MARKER}" w
  FileWrite $0 "${VERSION}$\r$\n"
  FileClose $0

  ; The sample configuration only where the operator has none yet.
  SetOverwrite off
  File "${STAGE}/iec104.cfg"
  File "${STAGE}/iec104sr.bin"
  File "${STAGE}/cnf.ini"
  SetOverwrite on

  ; Telegate writes its configuration, journal and traces beside itself.
  ; S-1-5-32-545 is the local Users group under every language of Windows.
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR" /grant *S-1-5-32-545:(OI)(CI)M /T /Q'
  Pop $0
  StrCmp $0 "0" +2
    DetailPrint "icacls answered $0: the Users group may not be able to change the configuration"

  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The proxy/stub first: the server's interfaces are marshalled through it.
  ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\TelegatePS.dll"' $0
  StrCmp $0 "0" +3
    DetailPrint "regsvr32 TelegatePS.dll answered $0"
    SetErrors
  ExecWait '"$INSTDIR\Telegate.exe" /RegServer' $1
  StrCmp $1 "0" +3
    DetailPrint "Telegate.exe /RegServer answered $1"
    SetErrors

  CreateDirectory "$SMPROGRAMS\Telegate"
  CreateShortcut "$SMPROGRAMS\Telegate\Telegate.lnk" "$INSTDIR\Telegate.exe" "" "$INSTDIR\Telegate.exe" 0
  CreateShortcut "$SMPROGRAMS\Telegate\Telegate help.lnk" "$INSTDIR\web\help.html"
  CreateShortcut "$SMPROGRAMS\Telegate\Uninstall Telegate.lnk" "$INSTDIR\Uninstall.exe"

  WriteRegStr HKLM "${UNINSTKEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTKEY}" "Publisher" "Telegate"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayIcon" "$INSTDIR\Telegate.exe"
  WriteRegStr HKLM "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTKEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoRepair" 1

  IfErrors 0 done
    ; A half-registered server is worse than none: say so and fail the setup.
    MessageBox MB_ICONSTOP|MB_OK "Telegate could not register its OPC server (see the details)." /SD IDOK
    SetErrorLevel 2
  done:
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  IfFileExists "$INSTDIR\${MARKER}" owned
    MessageBox MB_ICONSTOP|MB_OK "$INSTDIR was not installed by Telegate setup: nothing removed." /SD IDOK
    SetErrorLevel 2
    Abort
  owned:

  ExecWait '"$INSTDIR\Telegate.exe" /UnregServer' $0
  StrCmp $0 "0" +2
    DetailPrint "Telegate.exe /UnregServer answered $0"
  ExecWait '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\TelegatePS.dll"' $0
  StrCmp $0 "0" +2
    DetailPrint "regsvr32 /u TelegatePS.dll answered $0"

  Delete "$SMPROGRAMS\Telegate\Telegate.lnk"
  Delete "$SMPROGRAMS\Telegate\Telegate help.lnk"
  Delete "$SMPROGRAMS\Telegate\Uninstall Telegate.lnk"
  RMDir "$SMPROGRAMS\Telegate"

  Delete "$INSTDIR\Telegate.exe"
  Delete "$INSTDIR\TelegatePS.dll"
  Delete "$INSTDIR\telegate-sim.exe"
  Delete "$INSTDIR\README-Windows.txt"
  RMDir /r "$INSTDIR\web"
  Delete "$INSTDIR\${MARKER}"
  Delete "$INSTDIR\Uninstall.exe"
  DeleteRegKey HKLM "${UNINSTKEY}"

  ; The operator's configuration, journal and traces stay; the folder goes only
  ; when nothing is left in it.
  RMDir "$INSTDIR"
  IfFileExists "$INSTDIR\*.*" 0 +2
    DetailPrint "Kept in $INSTDIR: the configuration and logs written by Telegate"
SectionEnd
