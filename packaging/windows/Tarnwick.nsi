; The Windows installer: the 32-bit service, the capture program and the libraries in Program
; Files (x86), the 64-bit modules in Program Files on 64-bit Windows, the service installed and
; started. The build generates the file lists (TW_GENERATED): what each component holds, for each
; build, and which modules register themselves.
;
;   Tarnwick-<version>-setup.exe [/S] [/NOSTANDINS] [/D=folder]
;   Uninstall.exe [/S] [/REMOVEDATA]
;
; Exit codes: 0 done; 2 failed (the details say why); 3 installed, but the service did not start
; (stand-ins left out and a vendor library missing).

Unicode true
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ManifestDPIAware true

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"
!include "Sections.nsh"
!include "${TW_GENERATED}"

!define SERVICE "Tarnwick"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\Tarnwick"
!define PRODUCT_KEY "Software\Tarnwick"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnwick"
!define SERVICE_RUNNING 4

Name "Tarnwick"
OutFile "${TW_OUTFILE}"
InstallDir "$PROGRAMFILES32\Tarnwick"
InstallDirRegKey HKLM "${PRODUCT_KEY}" "InstallDir"
BrandingText "Tarnwick ${TW_VERSION}"
ShowInstDetails show
ShowUninstDetails show

Var StandInsInstalled

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

VIProductVersion "${TW_VERSION}"
VIFileVersion "${TW_VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Tarnwick"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${TW_VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${TW_VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Tarnwick setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Tarnwick"

LangString SecStandIns ${LANG_ENGLISH} "Stand-ins for the vendor libraries (simulated devices)"
LangString SecStandIns ${LANG_SIMPCHINESE} "厂商库的替代库（模拟设备）"
LangString SecData ${LANG_ENGLISH} "Logs and USB-key data"
LangString SecData ${LANG_SIMPCHINESE} "日志和 USB 密钥数据"
LangString MsgNotInstalled ${LANG_ENGLISH} "The Tarnwick service could not be registered. Without the stand-ins, the vendor libraries must be in $INSTDIR first."
LangString MsgNotInstalled ${LANG_SIMPCHINESE} "无法注册 Tarnwick 服务。不安装替代库时，须先将厂商库放入 $INSTDIR。"
LangString MsgNotStarted ${LANG_ENGLISH} "The Tarnwick service did not start. Its log is in $SYSDIR\Log."
LangString MsgNotStarted ${LANG_SIMPCHINESE} "Tarnwick 服务未能启动。日志位于 $SYSDIR\Log。"
LangString MsgNotStartedVendor ${LANG_ENGLISH} "The Tarnwick service did not start: put the vendor libraries in $INSTDIR, then run Tarnwick.exe start."
LangString MsgNotStartedVendor ${LANG_SIMPCHINESE} "Tarnwick 服务未能启动：请将厂商库放入 $INSTDIR，然后运行 Tarnwick.exe start。"
LangString MsgRegister ${LANG_ENGLISH} "Registering a module failed:"
LangString MsgRegister ${LANG_SIMPCHINESE} "模块注册失败："
LangString MsgNotRemoved ${LANG_ENGLISH} "The Tarnwick service is still registered; it goes at the next restart."
LangString MsgNotRemoved ${LANG_SIMPCHINESE} "Tarnwick 服务仍已注册，将在下次重启时删除。"

!macro Fail text
  MessageBox MB_OK|MB_ICONSTOP "${text}" /SD IDOK
  DetailPrint "${text}"
  SetErrorLevel 2
  Abort
!macroend

; Both the installer and the uninstaller: the service's state, waits, the commands it runs.
!macro ServiceFunctions un
; Pushes 0 when the service does not exist, else its state (1 stopped ... 4 running).
Function ${un}ServiceState
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $0 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE}", i 4) p .r2'
    ${If} $2 P<> 0
      StrCpy $0 -1
      System::Call '*(i 0, i 0, i 0, i 0, i 0, i 0, i 0) p .r3'
      System::Call 'advapi32::QueryServiceStatus(p r2, p r3) i .r0'
      ${If} $0 <> 0
        System::Call '*$3(i, i .r0)'
      ${Else}
        StrCpy $0 -1
      ${EndIf}
      System::Free $3
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; The program's message boxes go to its output (and so to the details) instead of waiting for
; a click, and a missing library fails the program instead of opening a system dialog.
Function ${un}QuietChildren
  System::Call 'kernel32::SetEnvironmentVariable(t "TARNWICK_MESSAGEBOX", t "stderr")'
  System::Call 'kernel32::SetErrorMode(i 0x8003)'
FunctionEnd

; Ends the capture program, which the service started in the user's session, so that its files
; can be replaced or removed. taskkill returns before the process is gone: up to 5 s more until
; its file can be opened for writing, which Windows refuses while the program runs.
Function ${un}EndCaptureProgram
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM PemrikProcessor.exe'
  Pop $0
  ${If} ${FileExists} "$INSTDIR\PemrikProcessor.exe"
    StrCpy $1 0
    ${Do}
      ClearErrors
      FileOpen $0 "$INSTDIR\PemrikProcessor.exe" a
      ${IfNot} ${Errors}
        FileClose $0
        ${Break}
      ${EndIf}
      ${If} $1 >= 25
        ${Break}
      ${EndIf}
      Sleep 200
      IntOp $1 $1 + 1
    ${Loop}
  ${EndIf}
FunctionEnd
!macroend
!insertmacro ServiceFunctions ""
!insertmacro ServiceFunctions "un."

; Waits up to 15 s for the service to be gone; pushes its last state (0: gone).
Function un.WaitServiceGone
  Push $0
  Push $1
  StrCpy $1 0
  ${Do}
    Call un.ServiceState
    Pop $0
    ${If} $0 = 0
    ${OrIf} $1 >= 30
      ${Break}
    ${EndIf}
    Sleep 500
    IntOp $1 $1 + 1
  ${Loop}
  Pop $1
  Exch $0
FunctionEnd

; regsvr32 of the module's own build: the 64-bit one (redirection off) for 64-bit modules.
!macro RegisterModule path
  nsExec::ExecToLog '"$SYSDIR\regsvr32.exe" /s "${path}"'
  Pop $0
  ${If} $0 != 0
    !insertmacro Fail "$(MsgRegister) ${path} ($0)"
  ${EndIf}
!macroend
!macro UnregisterModule path
  ${If} ${FileExists} "${path}"
    nsExec::ExecToLog '"$SYSDIR\regsvr32.exe" /s /u "${path}"'
    Pop $0
  ${EndIf}
!macroend

Section "-Prepare"
  SetShellVarContext all
  Call QuietChildren
  ReadRegDWORD $StandInsInstalled HKLM "${PRODUCT_KEY}" "StandIns"
  ; An earlier installation: its service stops, so that its files can be replaced. It stays
  ; registered, with its settings (the Parameters key), and is pointed at this installation.
  Call ServiceState
  Pop $0
  ${If} $0 <> 0
    ReadRegStr $1 HKLM "${SERVICE_KEY}" "ImagePath"
    DetailPrint "Stopping the service: $1"
    nsExec::ExecToLog '$1 stop'
    Pop $0
  ${EndIf}
  Call EndCaptureProgram
SectionEnd

Section "-Program"
  !insertmacro TW_FILES_x86_program
  !ifdef TW_HAVE_x64_program
    ${If} ${RunningX64}
      ${DisableX64FSRedirection}
      !insertmacro TW_FILES_x64_program
      ${EnableX64FSRedirection}
    ${EndIf}
  !endif
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${PRODUCT_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${PRODUCT_KEY}" "Version" "${TW_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tarnwick"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${TW_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tarnwick"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Tarnwick.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "$(SecStandIns)" SecStandIns
  !ifdef TW_HAVE_x86_standins
    !insertmacro TW_FILES_x86_standins
  !endif
  !ifdef TW_HAVE_x64_standins
    ${If} ${RunningX64}
      ${DisableX64FSRedirection}
      !insertmacro TW_FILES_x64_standins
      ${EnableX64FSRedirection}
    ${EndIf}
  !endif
  ; The uninstaller removes them only when they came from here: a vendor's library put in their
  ; place stays.
  StrCpy $StandInsInstalled 1
SectionEnd

Section "-Service"
  ${If} $StandInsInstalled == ""
    StrCpy $StandInsInstalled 0
  ${EndIf}
  WriteRegDWORD HKLM "${PRODUCT_KEY}" "StandIns" $StandInsInstalled
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  !insertmacro TW_REGISTER_x86
  !ifdef TW_HAVE_x64_program
    ${If} ${RunningX64}
      ${DisableX64FSRedirection}
      !insertmacro TW_REGISTER_x64
      ${EnableX64FSRedirection}
    ${EndIf}
  !endif

  StrCpy $1 '"$INSTDIR\Tarnwick.exe"'
  Call ServiceState
  Pop $0
  ${If} $0 = 0
    nsExec::ExecToLog '$1 install'
    Pop $0
    Call ServiceState
    Pop $0
    ${If} $0 = 0
      !insertmacro Fail "$(MsgNotInstalled)"
    ${EndIf}
  ${Else}
    ; SERVICE_CHANGE_CONFIG, SERVICE_NO_CHANGE for everything but the program's path.
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r2'
    System::Call 'advapi32::OpenServiceW(p r2, w "${SERVICE}", i 2) p .r3'
    System::Call 'advapi32::ChangeServiceConfigW(p r3, i -1, i -1, i -1, w r1, p 0, p 0, p 0, p 0, p 0, p 0) i .r0'
    System::Call 'advapi32::CloseServiceHandle(p r3)'
    System::Call 'advapi32::CloseServiceHandle(p r2)'
  ${EndIf}
  nsExec::ExecToLog '$1 start'
  Pop $0
  Call ServiceState
  Pop $0
  ${If} $0 <> ${SERVICE_RUNNING}
    ${If} ${SectionIsSelected} ${SecStandIns}
      !insertmacro Fail "$(MsgNotStarted)"
    ${EndIf}
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(MsgNotStartedVendor)" /SD IDOK
    DetailPrint "$(MsgNotStartedVendor)"
    SetErrorLevel 3
  ${EndIf}
SectionEnd

Function .onInit
  ${GetOptions} $CMDLINE "/NOSTANDINS" $0
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecStandIns}
  ${EndIf}
FunctionEnd

Section "-un.Service"
  SetOutPath "$TEMP"
  Call un.QuietChildren
  Call un.ServiceState
  Pop $0
  ${If} $0 <> 0
    ${If} ${FileExists} "$INSTDIR\Tarnwick.exe"
      nsExec::ExecToLog '"$INSTDIR\Tarnwick.exe" stop'
      Pop $0
      nsExec::ExecToLog '"$INSTDIR\Tarnwick.exe" uninstall'
      Pop $0
    ${EndIf}
    Call un.WaitServiceGone
    Pop $0
    ; The program could not do it (a vendor library missing, say): the system's own tool.
    ${If} $0 <> 0
      nsExec::ExecToLog '"$SYSDIR\sc.exe" stop ${SERVICE}'
      Pop $0
      nsExec::ExecToLog '"$SYSDIR\sc.exe" delete ${SERVICE}'
      Pop $0
      Call un.WaitServiceGone
      Pop $0
      ${If} $0 <> 0
        DetailPrint "$(MsgNotRemoved)"
        SetRebootFlag true
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Call un.EndCaptureProgram
  !insertmacro TW_UNREGISTER_x86
  !ifdef TW_HAVE_x64_program
    ${If} ${RunningX64}
      ${DisableX64FSRedirection}
      !insertmacro TW_UNREGISTER_x64
      ${EnableX64FSRedirection}
    ${EndIf}
  !endif
SectionEnd

Section "-un.Files"
  !insertmacro TW_UNFILES_x86_program
  ${If} $StandInsInstalled = 1
    !ifdef TW_HAVE_x86_standins
      !insertmacro TW_UNFILES_x86_standins
    !endif
  ${EndIf}
  !ifdef TW_HAVE_x64_program
    ${If} ${RunningX64}
      ${DisableX64FSRedirection}
      !insertmacro TW_UNFILES_x64_program
      ${If} $StandInsInstalled = 1
        !ifdef TW_HAVE_x64_standins
          !insertmacro TW_UNFILES_x64_standins
        !endif
      ${EndIf}
      RMDir "$PROGRAMFILES64\Tarnwick"
      ${EnableX64FSRedirection}
    ${EndIf}
  !endif
  ; The photo decoder's last picture, which it leaves beside itself.
  Delete "$INSTDIR\zp.bmp"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${PRODUCT_KEY}"
SectionEnd

; What the service leaves in its working folder: its log, the photos it saved, the second
; reader library's photo and the capture program's log. Only these names go, not the folder's
; others.
!macro RemoveServiceData folder
  Delete "${folder}\Log\Photo\*.bmp"
  RMDir "${folder}\Log\Photo"
  Delete "${folder}\Log\????-??-??*.txt"
  Delete "${folder}\Log\Fpr.bmp"
  RMDir "${folder}\Log"
  Delete "${folder}\photo.bmp"
  Delete "${folder}\PemrikProcessor.txt"
!macroend

Section /o "un.$(SecData)" SecData
  ; The working folder is the system folder (Wine starts services in the Windows folder).
  !insertmacro RemoveServiceData "$SYSDIR"
  !insertmacro RemoveServiceData "$WINDIR"
  Delete "$INSTDIR\*.log"
  RMDir "$INSTDIR"
  ; The USB keys' data (the service's account, every user) and this user's, the provider's
  ; log and the tablet library's.
  SetShellVarContext all
  RMDir /r "$APPDATA\Tarnwick"
  SetShellVarContext current
  Delete "$APPDATA\PMTabletdll.log"
  RMDir /r "$LOCALAPPDATA\Tarnwick"
  RMDir /r "$LOCALAPPDATA\Morvel\MVCSP"
  RMDir "$LOCALAPPDATA\Morvel"
SectionEnd

Function un.onInit
  ${GetOptions} $CMDLINE "/REMOVEDATA" $0
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecData}
  ${EndIf}
  ReadRegDWORD $StandInsInstalled HKLM "${PRODUCT_KEY}" "StandIns"
FunctionEnd
