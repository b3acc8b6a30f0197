; The TQM27 installer: the driver package staged, the ASIO driver registered
; where hosts look for it, TQMPanel started at every user's logon, and an
; uninstaller that takes all of it away again (the panel settings of each
; user stay unless /PURGE is given).
;
; makensis -DVERSION=x.y.z.w -DIMAGES=dir -DINF=file -DOUTFILE=file
;          [-DWITH_ASIO] [-DWITH_PANEL] TQM27.nsi

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
SilentInstall normal

!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "TQM27"
!define MAKER "ORU"
!define ASIO_NAME "ORU TQM27 ASIO DRIVER"
!define ASIO_CLSID "{F10D3474-B826-4CE8-B404-FB667F14F12F}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ORU TQM27"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define SETTINGS_KEY "Software\ORU\TQM27"

Name "${MAKER} ${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${MAKER}\${PRODUCT}"
VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=0 "ProductName" "${MAKER} ${PRODUCT}"
VIAddVersionKey /LANG=0 "CompanyName" "${MAKER}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} installer"
VIAddVersionKey /LANG=0 "LegalCopyright" "${MAKER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR\driver"
  File "${IMAGES}\TQMDRV.sys"
  File "${INF}"
  File /oname=tqm27-test.cer "${IMAGES}\certs\tqm27-test.pem"

  ; Stage the driver package: pnputil where the system has it, otherwise the
  ; setup API's own copy into the driver store. The name the store gives the
  ; INF is kept for the uninstaller.
  StrCpy $0 ""
  ${If} ${FileExists} "$SYSDIR\pnputil.exe"
    nsExec::ExecToLog '"$SYSDIR\pnputil.exe" /add-driver "$INSTDIR\driver\TQMDRV.inf" /install'
    Pop $1
  ${EndIf}
  System::Call 'setupapi::SetupCopyOEMInfW(w "$INSTDIR\driver\TQMDRV.inf", w "$INSTDIR\driver", i 1, i 8, w .r2, i ${NSIS_MAX_STRLEN}, *i .r3, p 0) i .r1'
  ${If} $1 != 0
    ${GetFileName} $2 $0
  ${EndIf}

!ifdef WITH_ASIO
  SetOutPath "$INSTDIR"
  File "${IMAGES}\TQMAsio.dll"
  WriteRegStr HKCR "CLSID\${ASIO_CLSID}" "" "Asio 2.0"
  WriteRegStr HKCR "CLSID\${ASIO_CLSID}\InprocServer32" "" "$INSTDIR\TQMAsio.dll"
  WriteRegStr HKCR "CLSID\${ASIO_CLSID}\InprocServer32" "ThreadingModel" "Both"
  WriteRegStr HKLM "SOFTWARE\ASIO\${ASIO_NAME}" "CLSID" "${ASIO_CLSID}"
  WriteRegStr HKLM "SOFTWARE\ASIO\${ASIO_NAME}" "Description" "${ASIO_NAME}"
!endif
!ifdef WITH_PANEL
  SetOutPath "$INSTDIR"
  File "${IMAGES}\TQMPanel.exe"
  WriteRegStr HKLM "${RUN_KEY}" "TQMPanel" '"$INSTDIR\TQMPanel.exe"'
!endif

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${MAKER} ${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${MAKER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "StagedInf" "$0"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  ; The panel first, so nothing holds the files.
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM TQMPanel.exe'
  Pop $1
  DeleteRegValue HKLM "${RUN_KEY}" "TQMPanel"
  DeleteRegKey HKCR "CLSID\${ASIO_CLSID}"
  DeleteRegKey HKLM "SOFTWARE\ASIO\${ASIO_NAME}"
  DeleteRegKey /ifempty HKLM "SOFTWARE\ASIO"

  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "StagedInf"
  ${If} $0 != ""
    System::Call 'setupapi::SetupUninstallOEMInfW(w "$0", i 1, p 0) i .r1'
  ${EndIf}

  ${GetParameters} $2
  ClearErrors
  ${GetOptions} $2 "/PURGE" $3
  ${IfNot} ${Errors}
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "Software\ORU"
  ${EndIf}

  Delete "$INSTDIR\TQMAsio.dll"
  Delete "$INSTDIR\TQMPanel.exe"
  Delete "$INSTDIR\driver\TQMDRV.sys"
  Delete "$INSTDIR\driver\TQMDRV.inf"
  Delete "$INSTDIR\driver\tqm27-test.cer"
  RMDir "$INSTDIR\driver"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$PROGRAMFILES64\${MAKER}"
SectionEnd
