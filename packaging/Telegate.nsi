; Telegate installer (64-bit, Unicode). Built by scripts/package-windows.sh:
;   makensis -DVERSION=<x.y.z> -DSTAGE=<staged folder> -DOUTFILE=<setup.exe> Telegate.nsi
;
; Installs into Program Files, registers the OPC server (Telegate.exe /RegServer)
; and its proxy/stub (regsvr32 TelegatePS.dll), registers the 32-bit proxy/stub
; x86\TelegatePS.dll for 32-bit OPC clients in the 32-bit registry view
; (regsvr32 /n /i:x86 TelegatePS.dll: each where no proxy is registered yet),
; adds start-menu entries and an entry in "Programs and Features". The
; uninstaller undoes exactly that.
;
; The program folder stays as Program Files makes it: writable by administrators
; only, since every OPC client loads the proxy/stub from it and COM starts the
; server from it. The operator's files (configuration, settings, logs, traces,
; the daily journal) live in the data folder, %ProgramData%\Telegate, recorded in
; HKLM\SOFTWARE\Telegate (DataFolder) for Telegate.exe to find; only there may
; the local Users group change files. The configuration the operator built
; survives both an update and an uninstall: the samples are copied only where no
; configuration exists yet, and the uninstaller leaves the data folder. An update
; of an installation that kept these files beside the executable moves them to
; the data folder once, never over a file already there.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include LogicLib.nsh
!include nsDialogs.nsh
!include FileFunc.nsh

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
!define DATAKEY "SOFTWARE\Telegate"
; S-1-5-32-545 is the local Users group under every language of Windows.
!define USERS_SID "*S-1-5-32-545"
!define SERVICEKEY "SYSTEM\CurrentControlSet\Services\Telegate"

Var DataDir
Var Moved
Var Kept
Var Service     ; 1: run as the Windows service after this installation
Var HadService  ; 1: the service was installed before this installation
Var ServiceBox

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
Page custom ServicePage ServicePageLeave
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetRegView 64
  StrCpy $HadService 0
  ReadRegStr $0 HKLM "${SERVICEKEY}" "ImagePath"
  StrCmp $0 "" +2
    StrCpy $HadService 1
  ; Unchecked on a first installation; an update keeps what is installed.
  StrCpy $Service $HadService
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/SERVICE=" $R1
  ${IfNot} ${Errors}
    ${If} $R1 == "1"
      StrCpy $Service 1
    ${Else}
      StrCpy $Service 0
    ${EndIf}
  ${EndIf}
FunctionEnd

Function ServicePage
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ${NSD_CreateCheckbox} 0 0 100% 12u "Run Telegate as a Windows service (starts with Windows, no logon needed)"
  Pop $ServiceBox
  ${If} $Service == 1
    ${NSD_Check} $ServiceBox
  ${EndIf}
  ${NSD_CreateLabel} 0 20u 100% 48u "The service polls the stations, serves the web pages and the OPC clients without anybody logged on. To change the configuration in the Telegate window, stop the service first (sc stop Telegate)."
  Pop $0
  nsDialogs::Show
FunctionEnd

Function ServicePageLeave
  ${NSD_GetState} $ServiceBox $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $Service 1
  ${Else}
    StrCpy $Service 0
  ${EndIf}
FunctionEnd

; Stops the service "Telegate" and waits up to 30 s until it has stopped.
!macro StopServiceAndWait UN
Function ${UN}StopServiceAndWait
  DetailPrint "Stopping the service Telegate"
  nsExec::ExecToLog '"$SYSDIR\sc.exe" stop Telegate'
  Pop $0
  StrCpy $R9 0
  loop:
    nsExec::ExecToStack '"$SYSDIR\sc.exe" query Telegate'
    Pop $0
    Pop $1
    StrCmp $0 "0" 0 done  ; no such service
    ; Done once the answer says STOPPED.
    StrLen $3 $1
    StrCpy $4 0
    find:
      IntCmp $4 $3 notyet 0 notyet
      StrCpy $2 $1 7 $4
      StrCmp $2 "STOPPED" done
      IntOp $4 $4 + 1
      Goto find
    notyet:
    IntOp $R9 $R9 + 1
    IntCmp $R9 60 0 0 timeout
    Sleep 500
    Goto loop
  timeout:
    DetailPrint "The service Telegate did not stop within 30 s"
  done:
FunctionEnd
!macroend
!insertmacro StopServiceAndWait ""
!insertmacro StopServiceAndWait "un."

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Telegate" SecMain
  SectionIn RO
  SetShellVarContext all
  ; The running service holds Telegate.exe: stopped while the files change.
  ${If} $HadService == 1
    Call StopServiceAndWait
  ${EndIf}
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "${STAGE}/Telegate.exe"
  File "${STAGE}/TelegatePS.dll"
  File "${STAGE}/telegate-sim.exe"
  File "${STAGE}/README-Windows.txt"
  File /r "${STAGE}/web"
  SetOutPath "$INSTDIR\x86"
  File "${STAGE}/x86/TelegatePS.dll"
  SetOutPath "$INSTDIR"
  FileOpen $0 "$INSTDIR\${MARKER}" w
  FileWrite $0 "${VERSION}$\r$\n"
  FileClose $0

  ; Rights granted on this folder by earlier versions are taken back: what is
  ; here is loaded or run by other accounts.
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR" /reset /T /C /Q'
  Pop $0
  StrCmp $0 "0" +2
    DetailPrint "icacls /reset answered $0 for $INSTDIR"

  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The proxy/stub first: the server's interfaces are marshalled through it.
  ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\TelegatePS.dll"' $0
  StrCmp $0 "0" +3
    DetailPrint "regsvr32 TelegatePS.dll answered $0"
    SetErrors
  ; The same for 32-bit clients, in the 32-bit view (the 64-bit DLL writes it:
  ; no 32-bit process is needed).
  ExecWait '"$SYSDIR\regsvr32.exe" /s /n /i:x86 "$INSTDIR\TelegatePS.dll"' $0
  StrCmp $0 "0" +3
    DetailPrint "regsvr32 /n /i:x86 TelegatePS.dll answered $0"
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

; ---------------------------------------------------------------------------
; The data folder: the operator's files, writable by the Users group.

; Moves $INSTDIR\<name> to the data folder unless the data folder has that file.
!macro MoveToData NAME
  IfFileExists "$INSTDIR\${NAME}" 0 +8
    IfFileExists "$DataDir\${NAME}" +5
      Rename "$INSTDIR\${NAME}" "$DataDir\${NAME}"
      DetailPrint "Moved ${NAME} to $DataDir"
      StrCpy $Moved "$Moved ${NAME}"
      Goto +3
    DetailPrint "Kept ${NAME} in $INSTDIR: $DataDir has its own"
    StrCpy $Kept "$Kept ${NAME}"
!macroend

; Moves every $INSTDIR\<pattern> (traces, daily journals) the same way.
Function MoveMatching
  Exch $R0  ; the pattern
  Push $R1
  Push $R2
  FindFirst $R1 $R2 "$INSTDIR\$R0"
  loop:
    StrCmp $R2 "" done
    IfFileExists "$DataDir\$R2" keep
      Rename "$INSTDIR\$R2" "$DataDir\$R2"
      DetailPrint "Moved $R2 to $DataDir"
      StrCpy $Moved "$Moved $R2"
      Goto next
    keep:
      DetailPrint "Kept $R2 in $INSTDIR: $DataDir has its own"
      StrCpy $Kept "$Kept $R2"
    next:
    FindNext $R1 $R2
    Goto loop
  done:
  FindClose $R1
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

Section "-Data folder" SecData
  SetShellVarContext all
  StrCpy $DataDir "$APPDATA\Telegate"
  CreateDirectory "$DataDir"
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$DataDir" /grant ${USERS_SID}:(OI)(CI)M /Q'
  Pop $0
  StrCmp $0 "0" +2
    DetailPrint "icacls answered $0: the Users group may not be able to change the configuration"
  WriteRegStr HKLM "${DATAKEY}" "DataFolder" "$DataDir"
  ; Each user's first start after this installation shows where Telegate is.
  WriteRegStr HKLM "${DATAKEY}" "Installed" "${VERSION} ${__DATE__} ${__TIME__}"

  ; Files an earlier version kept beside the executable.
  StrCpy $Moved ""
  StrCpy $Kept ""
  !insertmacro MoveToData "iec104.cfg"
  !insertmacro MoveToData "iec104sr.bin"
  !insertmacro MoveToData "cnf.ini"
  !insertmacro MoveToData "Telegate.ini"
  !insertmacro MoveToData "error_iec104.log"
  !insertmacro MoveToData "zzz.dat"
  !insertmacro MoveToData "opcl.txt"
  !insertmacro MoveToData "OPCLog.txt"
  Push "Socket*.txt"
  Call MoveMatching
  Push "Thread*.txt"
  Call MoveMatching
  Push "journal-*.log"
  Call MoveMatching
  StrCmp $Moved "" +2
    MessageBox MB_ICONINFORMATION|MB_OK "Telegate now keeps its configuration and logs in $DataDir.$\r$\nMoved there from $INSTDIR:$Moved" /SD IDOK
  StrCmp $Kept "" +2
    MessageBox MB_ICONEXCLAMATION|MB_OK "These files stay in $INSTDIR because $DataDir has its own:$Kept$\r$\nTelegate uses the ones in $DataDir." /SD IDOK

  ; The sample configuration only where the operator has none yet.
  SetOutPath "$DataDir"
  SetOverwrite off
  File "${STAGE}/iec104.cfg"
  File "${STAGE}/iec104sr.bin"
  File "${STAGE}/cnf.ini"
  SetOverwrite on
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\Telegate\Telegate data folder.lnk" "$DataDir"
SectionEnd

; ---------------------------------------------------------------------------
; The Windows service, after the server's registration and the data folder's
; entry, which the service reads when it starts.

Section "-Service" SecService
  ${If} $Service == 1
    nsExec::ExecToLog '"$INSTDIR\Telegate.exe" /InstallService'
    Pop $0
    ${If} $0 != "0"
      DetailPrint "Telegate.exe /InstallService answered $0"
      MessageBox MB_ICONSTOP|MB_OK "Telegate could not be installed as a Windows service (see the details)." /SD IDOK
      SetErrorLevel 2
    ${Else}
      nsExec::ExecToLog '"$SYSDIR\sc.exe" start Telegate'
      Pop $0
      StrCmp $0 "0" +2
        DetailPrint "sc start Telegate answered $0: the service starts with Windows next time"
    ${EndIf}
  ${ElseIf} $HadService == 1
    ; Asked not to run as a service any more: the desktop registration again.
    nsExec::ExecToLog '"$INSTDIR\Telegate.exe" /UninstallService'
    Pop $0
    StrCmp $0 "0" +2
      DetailPrint "Telegate.exe /UninstallService answered $0"
  ${EndIf}
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  IfFileExists "$INSTDIR\${MARKER}" owned
    MessageBox MB_ICONSTOP|MB_OK "$INSTDIR was not installed by Telegate setup: nothing removed." /SD IDOK
    SetErrorLevel 2
    Abort
  owned:

  ; The service first: it runs the program that is about to go.
  ReadRegStr $0 HKLM "${SERVICEKEY}" "ImagePath"
  ${If} $0 != ""
    Call un.StopServiceAndWait
    nsExec::ExecToLog '"$INSTDIR\Telegate.exe" /UninstallService'
    Pop $0
    StrCmp $0 "0" +2
      DetailPrint "Telegate.exe /UninstallService answered $0"
  ${EndIf}

  ExecWait '"$INSTDIR\Telegate.exe" /UnregServer' $0
  StrCmp $0 "0" +2
    DetailPrint "Telegate.exe /UnregServer answered $0"
  ExecWait '"$SYSDIR\regsvr32.exe" /s /u /n /i:x86 "$INSTDIR\TelegatePS.dll"' $0
  StrCmp $0 "0" +2
    DetailPrint "regsvr32 /u /n /i:x86 TelegatePS.dll answered $0"
  ExecWait '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\TelegatePS.dll"' $0
  StrCmp $0 "0" +2
    DetailPrint "regsvr32 /u TelegatePS.dll answered $0"

  Delete "$SMPROGRAMS\Telegate\Telegate.lnk"
  Delete "$SMPROGRAMS\Telegate\Telegate help.lnk"
  Delete "$SMPROGRAMS\Telegate\Uninstall Telegate.lnk"
  Delete "$SMPROGRAMS\Telegate\Telegate data folder.lnk"
  RMDir "$SMPROGRAMS\Telegate"

  Delete "$INSTDIR\Telegate.exe"
  Delete "$INSTDIR\TelegatePS.dll"
  Delete "$INSTDIR\x86\TelegatePS.dll"
  RMDir "$INSTDIR\x86"
  Delete "$INSTDIR\telegate-sim.exe"
  Delete "$INSTDIR\README-Windows.txt"
  RMDir /r "$INSTDIR\web"
  Delete "$INSTDIR\${MARKER}"
  Delete "$INSTDIR\Uninstall.exe"
  DeleteRegKey HKLM "${UNINSTKEY}"

  ; The operator's configuration, journal and traces stay in the data folder.
  ReadRegStr $DataDir HKLM "${DATAKEY}" "DataFolder"
  DeleteRegValue HKLM "${DATAKEY}" "DataFolder"
  DeleteRegValue HKLM "${DATAKEY}" "Installed"
  DeleteRegKey /ifempty HKLM "${DATAKEY}"
  StrCmp $DataDir "" +2
    DetailPrint "Kept in $DataDir: the configuration and logs written by Telegate"
  ; The program folder goes when nothing is left in it (files an older version
  ; could not move stay).
  RMDir "$INSTDIR"
SectionEnd
