; The Windows installer: the 32-bit service, the capture program and the libraries in Program
; Files (x86), the 64-bit modules in Program Files on 64-bit Windows, the service installed and
; started. The build generates the file lists (TW_GENERATED): what each component holds, for each
; build, and which modules register themselves.
;
;   Tarnwick-<version>-setup.exe [/S] [/NOSTANDINS] [/ORIGINS="origin ..."] [/LOCALONLY[=0]] [/D=folder]
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
!include "nsDialogs.nsh"
!include "${TW_GENERATED}"

!define SERVICE "Tarnwick"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\Tarnwick"
!define PARAMETERS_KEY "SYSTEM\CurrentControlSet\Services\Tarnwick\Parameters"
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
; The pages allowed to use the service (AllowedOrigins), blank-separated, and whether it listens
; on this PC only (ListenAddress 127.0.0.1). OriginsChosen and LocalChosen are 1 once the page or a
; command-line option has chosen them; otherwise an upgrade leaves the values as they are.
Var Origins
Var LocalOnly
Var OriginsChosen
Var LocalChosen
Var OriginsField
Var LocalOnlyBox

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
Page custom SettingsPage SettingsPageLeave
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
LangString PageSettings ${LANG_ENGLISH} "Web pages"
LangString PageSettings ${LANG_SIMPCHINESE} "网页"
LangString PageSettingsSub ${LANG_ENGLISH} "Which pages may use the devices of this PC"
LangString PageSettingsSub ${LANG_SIMPCHINESE} "哪些网页可以使用本机的设备"
LangString LabelOrigins ${LANG_ENGLISH} "The sites whose pages may use the service, separated by blanks (for example https://counter.example http://localhost:8080). Empty: every site."
LangString LabelOrigins ${LANG_SIMPCHINESE} "可以使用本服务的网站，以空格分隔（例如 https://counter.example http://localhost:8080）。留空：所有网站。"
LangString LabelLocalOnly ${LANG_ENGLISH} "Listen on this PC only (other computers on the network cannot reach the service)"
LangString LabelLocalOnly ${LANG_SIMPCHINESE} "仅在本机监听（网络上的其他计算机无法访问本服务）"
LangString MsgBadOrigin ${LANG_ENGLISH} "Not a site address (http:// or https://, a host, an optional port, nothing after it):"
LangString MsgBadOrigin ${LANG_SIMPCHINESE} "不是网站地址（http:// 或 https://、主机名、可选端口，其后不能有其他内容）："
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

; The origin list in $0 put in order and checked: $0 the list with single blanks (blanks, tabs
; and commas separate), $1 the first entry that is not an origin (scheme://host[:port]), or "".
Var OWord
Var OChar
Var OIndex
Var OList
Var OOk
Function NormalizeOrigins
  StrCpy $1 ""
  StrCpy $OList ""
  StrCpy $OWord ""
  StrCpy $OIndex 0
  ${Do}
    StrCpy $OChar $0 1 $OIndex
    IntOp $OIndex $OIndex + 1
    ${If} $OChar == " "
    ${OrIf} $OChar == "$\t"
    ${OrIf} $OChar == ","
    ${OrIf} $OChar == ""
      ${If} $OWord != ""
        ${If} $OList == ""
          StrCpy $OList $OWord
        ${Else}
          StrCpy $OList "$OList $OWord"
        ${EndIf}
        Push $OWord
        Call IsOrigin
        Pop $OOk
        ${If} $OOk != 1
        ${AndIf} $1 == ""
          StrCpy $1 $OWord
        ${EndIf}
        StrCpy $OWord ""
      ${EndIf}
      ${If} $OChar == ""
        ${Break}
      ${EndIf}
    ${Else}
      StrCpy $OWord "$OWord$OChar"
    ${EndIf}
  ${Loop}
  StrCpy $0 $OList
FunctionEnd

; Pops an entry, pushes 1 when it is an origin: http:// or https://, then a host and maybe a
; port, with no path, query, user or quote.
Function IsOrigin
  Exch $2
  Push $3
  Push $4
  StrCpy $3 $2 8
  StrCpy $4 $2 7
  ${If} $3 == "https://"
    StrCpy $2 $2 "" 8
  ${ElseIf} $4 == "http://"
    StrCpy $2 $2 "" 7
  ${Else}
    StrCpy $2 ""
  ${EndIf}
  ${If} $2 == ""
    StrCpy $2 0
  ${Else}
    StrCpy $4 0
    ${Do}
      StrCpy $3 $2 1 $4
      ${If} $3 == ""
        StrCpy $2 1
        ${Break}
      ${EndIf}
      ${If} $3 == "/"
      ${OrIf} $3 == "\"
      ${OrIf} $3 == "?"
      ${OrIf} $3 == "#"
      ${OrIf} $3 == "@"
      ${OrIf} $3 == '"'
        StrCpy $2 0
        ${Break}
      ${EndIf}
      IntOp $4 $4 + 1
    ${Loop}
  ${EndIf}
  Pop $4
  Pop $3
  Exch $2
FunctionEnd

; The settings as the service has them: $Origins (AllowedOrigins, a multi-string, its strings
; joined by blanks) and $LocalOnly (1 when ListenAddress is 127.0.0.1).
Function ReadSettings
  StrCpy $Origins ""
  StrCpy $LocalOnly 0
  ReadRegStr $0 HKLM "${PARAMETERS_KEY}" "ListenAddress"
  ${If} $0 == "127.0.0.1"
    StrCpy $LocalOnly 1
  ${EndIf}
  ; HKEY_LOCAL_MACHINE, RRF_RT_REG_MULTI_SZ; the zeroed buffer's second half ends any string.
  System::Alloc 8192
  Pop $1
  System::Call 'advapi32::RegGetValueW(p -2147483646, w "${PARAMETERS_KEY}", w "AllowedOrigins", i 0x20, p 0, p r1, *i 4096) i .r0'
  ${If} $0 = 0
    StrCpy $2 $1
    ${Do}
      System::Call '*$2(&w1024 .r3)'
      ${If} $3 == ""
        ${Break}
      ${EndIf}
      ${If} $Origins == ""
        StrCpy $Origins $3
      ${Else}
        StrCpy $Origins "$Origins $3"
      ${EndIf}
      StrLen $4 $3
      IntOp $4 $4 + 1
      IntOp $4 $4 * 2
      IntPtrOp $2 $2 + $4
    ${Loop}
  ${EndIf}
  System::Free $1
FunctionEnd

; Writes what the page or the command line chose, read by the service when it starts.
Function WriteSettings
  ${If} $OriginsChosen == 1
    ${If} $Origins == ""
      DeleteRegValue HKLM "${PARAMETERS_KEY}" "AllowedOrigins"
    ${Else}
      ; REG_MULTI_SZ: the list with its blanks made string ends, and two zeros after it.
      StrLen $2 $Origins
      IntOp $3 $2 + 2
      IntOp $3 $3 * 2
      System::Alloc $3
      Pop $1
      System::Call '*$1(&w$2 "$Origins")'
      StrCpy $4 0
      ${Do}
        ${If} $4 >= $2
          ${Break}
        ${EndIf}
        StrCpy $5 $Origins 1 $4
        ${If} $5 == " "
          IntOp $5 $4 * 2
          IntPtrOp $5 $1 + $5
          System::Call '*$5(&i2 0)'
        ${EndIf}
        IntOp $4 $4 + 1
      ${Loop}
      System::Call 'advapi32::RegSetKeyValueW(p -2147483646, w "${PARAMETERS_KEY}", w "AllowedOrigins", i 7, p r1, i r3) i .r0'
      System::Free $1
      ${If} $0 <> 0
        !insertmacro Fail "AllowedOrigins ($0)"
      ${EndIf}
      DetailPrint "AllowedOrigins: $Origins"
    ${EndIf}
  ${EndIf}
  ${If} $LocalChosen == 1
    ${If} $LocalOnly == 1
      WriteRegStr HKLM "${PARAMETERS_KEY}" "ListenAddress" "127.0.0.1"
      DetailPrint "ListenAddress: 127.0.0.1"
    ${Else}
      ; Only the address this option sets: another one an administrator chose stays.
      ReadRegStr $0 HKLM "${PARAMETERS_KEY}" "ListenAddress"
      ${If} $0 == "127.0.0.1"
        DeleteRegValue HKLM "${PARAMETERS_KEY}" "ListenAddress"
      ${EndIf}
    ${EndIf}
  ${EndIf}
FunctionEnd

Function SettingsPage
  !insertmacro MUI_HEADER_TEXT "$(PageSettings)" "$(PageSettingsSub)"
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ${NSD_CreateLabel} 0 0 100% 30u "$(LabelOrigins)"
  Pop $0
  ${NSD_CreateText} 0 34u 100% 14u "$Origins"
  Pop $OriginsField
  ${NSD_CreateCheckbox} 0 58u 100% 12u "$(LabelLocalOnly)"
  Pop $LocalOnlyBox
  ${If} $LocalOnly == 1
    ${NSD_Check} $LocalOnlyBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function SettingsPageLeave
  ${NSD_GetText} $OriginsField $0
  Call NormalizeOrigins
  ${If} $1 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(MsgBadOrigin)$\r$\n$1"
    Abort
  ${EndIf}
  StrCpy $Origins $0
  ${NSD_GetState} $LocalOnlyBox $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $LocalOnly 1
  ${Else}
    StrCpy $LocalOnly 0
  ${EndIf}
  StrCpy $OriginsChosen 1
  StrCpy $LocalChosen 1
FunctionEnd

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
  Call WriteSettings
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
  ; The page starts from the service's settings; /ORIGINS= and /LOCALONLY choose them.
  Call ReadSettings
  ${GetOptions} $CMDLINE "/ORIGINS=" $0
  ${IfNot} ${Errors}
    ; Quoted whole ("/ORIGINS=a b"), the option keeps its closing quote.
    StrCpy $1 $0 "" -1
    ${If} $1 == '"'
      StrCpy $0 $0 -1
    ${EndIf}
    Call NormalizeOrigins
    ${If} $1 != ""
      MessageBox MB_OK|MB_ICONSTOP "$(MsgBadOrigin)$\r$\n$1" /SD IDOK
      SetErrorLevel 2
      Abort
    ${EndIf}
    StrCpy $Origins $0
    StrCpy $OriginsChosen 1
  ${EndIf}
  ${GetOptions} $CMDLINE "/LOCALONLY" $0
  ${IfNot} ${Errors}
    ${If} $0 == "=0"
      StrCpy $LocalOnly 0
    ${Else}
      StrCpy $LocalOnly 1
    ${EndIf}
    StrCpy $LocalChosen 1
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
