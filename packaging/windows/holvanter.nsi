; The Windows installer of Holvanter TavoCard, built on Linux with makensis:
;
;   makensis -DX86_DIR=build-win-x86 -DX64_DIR=build-win-x64 -DOUT_DIR=dist \
;            packaging/windows/holvanter.nsi
;
; gives OUT_DIR/holvanter-setup-VERSION.exe. VERSION comes from the x86 build
; (holvanter-version.nsh, written from project(VERSION)) unless -DVERSION is
; given.
;
; What it puts in place (INSTDIR is "Program Files\Holvanter"):
;   INSTDIR\x86\  holvanter.dll for 32-bit front-desk programs, always;
;   INSTDIR\x64\  holvanter.dll for 64-bit programs, on 64-bit Windows;
;   in each:      tavocard.exe and the agent where the build has them, and the
;                 stand-in lyComm.dll and mwic_32.dll when asked for;
;   INSTDIR\uninstall.exe, listed under the system's installed programs.
; Each folder is one front desk for its architecture: the component reads
; the Tavoper.ini beside it and loads the vendor libraries beside it.
;
; Each holvanter.dll is registered as regsvr32 registers it (its own
; DllRegisterServer: class, ProgID, interface, type library).
;
; Silent mode for IT departments:  holvanter-setup-VERSION.exe /S [/STANDINS]
; [/AGENT | /SERVICE] [/D=folder]. /STANDINS adds the stand-in vendor
; libraries, /AGENT starts the front-desk agent at logon, /SERVICE installs it
; as the Windows service HolvanterAgent (tavocard service install) and starts
; it, with the settings file %ProgramData%\Holvanter\agent.ini (written with
; the defaults when there is none). An upgrade stops the service before it
; replaces the files and starts it again; the uninstaller removes the
; service and leaves its settings file and state folder.
;
; The installer never writes Tavoper.ini and never replaces a vendor library
; it did not put there itself, so an upgrade keeps what the hotel set up; the
; uninstaller removes the files and registry entries it wrote and leaves the
; folders that still hold the hotel's own files (Tavoper.ini, a database).

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"

!ifndef X86_DIR | X64_DIR | OUT_DIR
  !error "give -DX86_DIR, -DX64_DIR and -DOUT_DIR"
!endif
!ifndef VERSION
  !include "${X86_DIR}/holvanter-version.nsh"
!endif

!define PRODUCT "Holvanter TavoCard"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Holvanter"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "Holvanter front-desk agent"
!define SERVICE_NAME "HolvanterAgent"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE_NAME}"

; The front-desk agent, where this build has one: a program of its own, else
; tavocard.exe with its serve command.
!if /FileExists "${X86_DIR}/bin/tavocard-agent.exe"
  !define AGENT_EXE "tavocard-agent.exe"
  !define AGENT_ARGS ""
!else if /FileExists "${X86_DIR}/bin/tavocard.exe"
  !define AGENT_EXE "tavocard.exe"
  !define AGENT_ARGS " serve"
!endif

Name "${PRODUCT} ${VERSION}"
OutFile "${OUT_DIR}/holvanter-setup-${VERSION}.exe"
InstallDir "$PROGRAMFILES64\Holvanter"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "Holvanter"
VIAddVersionKey "FileDescription" "${PRODUCT} installer"
VIAddVersionKey "LegalCopyright" "Holvanter"

!define MUI_COMPONENTSPAGE_SMALLDESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; What an earlier install of this product chose (1 or empty).
Var PrevStandIns
Var PrevAgent
Var PrevService

; Files of one architecture's folder. ARCH is x86 or x64.
!macro InstallComponent ARCH DIR
  SetOutPath "$INSTDIR\${ARCH}"
  File "${DIR}/bin/holvanter.dll"
  !if /FileExists "${DIR}/bin/tavocard.exe"
    File "${DIR}/bin/tavocard.exe"
  !endif
  !if /FileExists "${DIR}/bin/tavocard-agent.exe"
    File "${DIR}/bin/tavocard-agent.exe"
  !endif
!macroend

!macro InstallStandIns ARCH DIR
  SetOutPath "$INSTDIR\${ARCH}"
  ; A vendor library that the hotel put here stays; stand-ins that an
  ; earlier install put here are brought up to date.
  ${If} $PrevStandIns == 1
    SetOverwrite on
  ${Else}
    SetOverwrite off
  ${EndIf}
  File "${DIR}/bin/lyComm.dll"
  File "${DIR}/bin/mwic_32.dll"
  SetOverwrite on
!macroend

!macro RemoveComponent ARCH
  Delete "$INSTDIR\${ARCH}\holvanter.dll"
  Delete "$INSTDIR\${ARCH}\tavocard.exe"
  Delete "$INSTDIR\${ARCH}\tavocard-agent.exe"
  ${If} $PrevStandIns == 1
    Delete "$INSTDIR\${ARCH}\lyComm.dll"
    Delete "$INSTDIR\${ARCH}\mwic_32.dll"
  ${EndIf}
  ; Not recursive: a folder that still holds Tavoper.ini stays.
  RMDir "$INSTDIR\${ARCH}"
!macroend

!ifdef AGENT_EXE
; A running service holds tavocard.exe open: an upgrade stops it before the
; files are replaced (the service section starts it again).
Section "-Stop the service"
  ${If} $PrevService != ""
    ${If} ${FileExists} "$INSTDIR\x64\tavocard.exe"
      nsExec::ExecToLog '"$INSTDIR\x64\tavocard.exe" service stop --name ${SERVICE_NAME}'
      Pop $0
    ${Else}
      nsExec::ExecToLog '"$INSTDIR\x86\tavocard.exe" service stop --name ${SERVICE_NAME}'
      Pop $0
    ${EndIf}
  ${EndIf}
SectionEnd
!endif

Section "TavoCard component, 32-bit (x86)" SecX86
  SectionIn RO
  !insertmacro InstallComponent x86 "${X86_DIR}"
  ; The installer is a 32-bit process: it calls DllRegisterServer itself,
  ; as the 32-bit regsvr32 does.
  ClearErrors
  RegDLL "$INSTDIR\x86\holvanter.dll"
  ${If} ${Errors}
    Abort "Could not register $INSTDIR\x86\holvanter.dll"
  ${EndIf}
SectionEnd

Section "TavoCard component, 64-bit (x64)" SecX64
  SectionIn RO
  !insertmacro InstallComponent x64 "${X64_DIR}"
  ; A 64-bit DLL is registered by the 64-bit regsvr32, which the file
  ; system redirection of a 32-bit process would hide.
  ${DisableX64FSRedirection}
  ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\x64\holvanter.dll"' $0
  ${EnableX64FSRedirection}
  ${If} $0 != 0
    Abort "Could not register $INSTDIR\x64\holvanter.dll ($0)"
  ${EndIf}
SectionEnd

Section /o "Stand-in encoder and card-reader libraries" SecStandIns
  !insertmacro InstallStandIns x86 "${X86_DIR}"
  ${If} ${SectionIsSelected} ${SecX64}
    !insertmacro InstallStandIns x64 "${X64_DIR}"
  ${EndIf}
  StrCpy $PrevStandIns 1
SectionEnd

!ifdef AGENT_EXE
Section /o "Start the front-desk agent at logon" SecAgent
  ${If} ${SectionIsSelected} ${SecX64}
    WriteRegStr HKLM "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\x64\${AGENT_EXE}"${AGENT_ARGS}'
  ${Else}
    WriteRegStr HKLM "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\x86\${AGENT_EXE}"${AGENT_ARGS}'
  ${EndIf}
  StrCpy $PrevAgent 1
SectionEnd
!endif

!if "${AGENT_EXE}" == "tavocard.exe"
Section /o "Run the front-desk agent as a Windows service" SecService
  ${If} ${SectionIsSelected} ${SecX64}
    StrCpy $R0 "$INSTDIR\x64\tavocard.exe"
  ${Else}
    StrCpy $R0 "$INSTDIR\x86\tavocard.exe"
  ${EndIf}
  ${If} $PrevService != ""
    ; An upgrade: the service and its settings stay as they were.
    nsExec::ExecToLog '"$R0" service start --name ${SERVICE_NAME}'
    Pop $0
  ${Else}
    ; The settings file is the hotel's: written once, never replaced.
    SetShellVarContext all
    CreateDirectory "$APPDATA\Holvanter"
    ${IfNot} ${FileExists} "$APPDATA\Holvanter\agent.ini"
      FileOpen $1 "$APPDATA\Holvanter\agent.ini" w
      FileWrite $1 "; The settings of the front-desk agent's service (tavocard serve --help$\r$\n"
      FileWrite $1 "; lists every option). After a change: tavocard service stop, then start.$\r$\n"
      FileWrite $1 "[serve]$\r$\nlisten-port = 8866$\r$\n"
      FileWrite $1 "; origin = [$\"https://pms.hotel.lan$\"]$\r$\n"
      FileWrite $1 "; fias = pms-ifc.hotel.lan:5010$\r$\n"
      FileClose $1
    ${EndIf}
    nsExec::ExecToLog '"$R0" service install --name ${SERVICE_NAME} --config "$APPDATA\Holvanter\agent.ini" --start'
    Pop $0
    SetShellVarContext current
  ${EndIf}
  ${If} $0 != 0
    DetailPrint "The service ${SERVICE_NAME} did not start ($0): see the Application event log"
    SetErrorLevel 2
  ${EndIf}
SectionEnd
!endif

Section "-Uninstaller"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Holvanter"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  ; What the uninstaller has to take away.
  ${If} ${SectionIsSelected} ${SecX64}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "X64" 1
  ${EndIf}
  ${If} $PrevStandIns == 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "StandIns" 1
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecX86} "holvanter.dll for 32-bit front-desk programs, registered as Holvanter.TavoCard."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecX64} "holvanter.dll for 64-bit front-desk programs (64-bit Windows only)."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecStandIns} "Stand-ins for lyComm.dll and mwic_32.dll. Leave this off when the hotel has the encoder vendor's own libraries."
  !ifdef AGENT_EXE
    !insertmacro MUI_DESCRIPTION_TEXT ${SecAgent} "Starts the front-desk agent when a user logs on."
  !endif
  !if "${AGENT_EXE}" == "tavocard.exe"
    !insertmacro MUI_DESCRIPTION_TEXT ${SecService} "Runs the front-desk agent as the Windows service ${SERVICE_NAME}: from boot, with nobody logged on."
  !endif
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  ${IfNot} ${RunningX64}
    !insertmacro UnselectSection ${SecX64}
    !insertmacro SetSectionFlag ${SecX64} ${SF_RO}
  ${EndIf}
  ; An upgrade keeps the choices of the install it replaces.
  ReadRegDWORD $PrevStandIns HKLM "${UNINSTALL_KEY}" "StandIns"
  ReadRegStr $PrevAgent HKLM "${RUN_KEY}" "${RUN_VALUE}"
  ReadRegStr $PrevService HKLM "${SERVICE_KEY}" "ImagePath"
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/STANDINS" $R1
  ${IfNot} ${Errors}
  ${OrIf} $PrevStandIns == 1
    !insertmacro SelectSection ${SecStandIns}
  ${EndIf}
  !ifdef AGENT_EXE
    ClearErrors
    ${GetOptions} $R0 "/AGENT" $R1
    ${IfNot} ${Errors}
    ${OrIf} $PrevAgent != ""
      !insertmacro SelectSection ${SecAgent}
    ${EndIf}
  !endif
  !if "${AGENT_EXE}" == "tavocard.exe"
    ClearErrors
    ${GetOptions} $R0 "/SERVICE" $R1
    ${IfNot} ${Errors}
    ${OrIf} $PrevService != ""
      !insertmacro SelectSection ${SecService}
    ${EndIf}
  !endif
FunctionEnd

Function un.onInit
  ReadRegDWORD $PrevStandIns HKLM "${UNINSTALL_KEY}" "StandIns"
FunctionEnd

Section "Uninstall"
  ; The service first: it holds tavocard.exe open. Its settings file and
  ; state folder (token, key, journal) stay, as Tavoper.ini does.
  ReadRegStr $1 HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $1 != ""
    ${If} ${FileExists} "$INSTDIR\x64\tavocard.exe"
      nsExec::ExecToLog '"$INSTDIR\x64\tavocard.exe" service remove --name ${SERVICE_NAME}'
      Pop $0
    ${Else}
      nsExec::ExecToLog '"$INSTDIR\x86\tavocard.exe" service remove --name ${SERVICE_NAME}'
      Pop $0
    ${EndIf}
  ${EndIf}
  ClearErrors
  UnRegDLL "$INSTDIR\x86\holvanter.dll"
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "X64"
  ${If} $0 == 1
    ${DisableX64FSRedirection}
    ExecWait '"$SYSDIR\regsvr32.exe" /u /s "$INSTDIR\x64\holvanter.dll"'
    ${EnableX64FSRedirection}
  ${EndIf}
  !insertmacro RemoveComponent x86
  !insertmacro RemoveComponent x64
  DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
