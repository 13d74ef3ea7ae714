; The Windows installer: both programs under Program Files, a Start-menu
; shortcut to the download utility, quillon.exe on PATH if chosen, and an
; uninstaller that Apps & Features lists. Built by scripts/package.sh:
;   makensis -DVERSION=1.0.2 -DSTAGE=dir-with-the-files -DOUTFILE=setup.exe quillon.nsi
; Silent: setup.exe /S [/PATH] [/D=C:\Other\Dir]  (/PATH puts quillon.exe on PATH)
Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
!include WinMessages.nsh
${StrStr}
${UnStrRep}

!define NAME "Quillon Software Download Utility"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon"
!define ENV_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
; The longest PATH that is read and written back whole, with room to add.
!define /math PATH_MAX ${NSIS_MAX_STRLEN} - 300

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quillon"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
ShowInstDetails show

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Quillon Software Download Utility" SecMain
  SectionIn RO
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${STAGE}\QuillonDownload.exe"
  File "${STAGE}\quillon.exe"
  File "${STAGE}\README.md"
  SetOutPath "$INSTDIR\LICENSES"
  File "${STAGE}\LICENSES\*.*"
  SetOutPath "$INSTDIR"
  CreateDirectory "$SMPROGRAMS\Quillon"
  CreateShortcut "$SMPROGRAMS\Quillon\${NAME}.lnk" "$INSTDIR\QuillonDownload.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "Tarnfield"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\QuillonDownload.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

; PATH is one registry value that other programs share: it is read whole
; or not touched at all (a value longer than NSIS's strings comes back
; empty or cut, and writing that back would lose the rest).
Section /o "quillon.exe on PATH (for the command line)" SecPath
  ClearErrors
  ReadRegStr $0 HKLM "${ENV_KEY}" "Path"
  StrLen $1 $0
  ${If} ${Errors}
  ${OrIf} $1 == 0
  ${OrIf} $1 > ${PATH_MAX}
    DetailPrint "PATH not changed: it could not be read whole. Add $INSTDIR to it by hand."
    Return
  ${EndIf}
  ${StrStr} $2 ";$0;" ";$INSTDIR;"
  ${If} $2 == ""
    WriteRegExpandStr HKLM "${ENV_KEY}" "Path" "$0;$INSTDIR"
    WriteRegDWORD HKLM "${UNINST_KEY}" "AddedToPath" 1
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
SectionEnd

Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PATH" $1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecPath} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  ReadRegDWORD $3 HKLM "${UNINST_KEY}" "AddedToPath"
  ${If} $3 == 1
    ClearErrors
    ReadRegStr $0 HKLM "${ENV_KEY}" "Path"
    StrLen $1 $0
    ${IfNot} ${Errors}
    ${AndIf} $1 > 0
    ${AndIf} $1 < ${PATH_MAX}
      ${UnStrRep} $2 "$0;" ";$INSTDIR;" ";"
      StrCpy $2 $2 -1
      WriteRegExpandStr HKLM "${ENV_KEY}" "Path" "$2"
      SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    ${EndIf}
  ${EndIf}
  Delete "$SMPROGRAMS\Quillon\${NAME}.lnk"
  RMDir "$SMPROGRAMS\Quillon"
  Delete "$INSTDIR\QuillonDownload.exe"
  Delete "$INSTDIR\quillon.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSES\*.*"
  RMDir "$INSTDIR\LICENSES"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
