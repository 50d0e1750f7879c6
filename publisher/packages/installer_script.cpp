#include "publisher/packages/installer_script.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "publisher/publish_rules.h"
#include "publisher/release_drafts.h"
#include "publisher/release_plan.h"
#include "update/manifest/package_manifest.h"

namespace {

constexpr char kUninstallerName[] = "uninstall.exe";

// An NSIS string literal of text: "$" would start a variable and a quote of
// any of NSIS's three kinds could end the string (some lines wrap a quoted
// path in single quotes), so they are escaped; a file name holds no other
// character NSIS reads.
std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '$': quoted += "$$"; break;
      case '"':
      case '\'':
      case '`':
        quoted += "$\\";
        quoted += c;
        break;
      case '\r': quoted += "$\\r"; break;
      case '\n': quoted += "$\\n"; break;
      case '\t': quoted += "$\\t"; break;
      default: quoted += c; break;
    }
  }
  return quoted + '"';
}

std::string WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// "$INSTDIR\a\b" as an NSIS literal: the variable kept, the path escaped.
std::string InInstallDir(const std::string& path) {
  const std::string quoted = Quote(WindowsPath(path));
  return path.empty() ? "\"$INSTDIR\"" : "\"$INSTDIR\\" + quoted.substr(1);
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Every directory the files lie in, the deepest first: the order in which
// they can be removed once empty.
std::vector<std::string> DirectoriesDeepestFirst(const InstallerContents& contents) {
  std::set<std::string> directories;
  for (const InstallerFile& file : contents.files) {
    for (std::string parent = ParentOf(file.installPath); !parent.empty(); parent = ParentOf(parent)) {
      directories.insert(parent);
    }
  }
  std::vector<std::string> ordered(directories.begin(), directories.end());
  std::stable_sort(ordered.begin(), ordered.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
  });
  return ordered;
}

// The four 16-bit parts of a version resource hold the release's version in
// the last two, so that version 2 reads 0.0.0.2; one past 32 bits (the
// publisher writes none) reads as the largest.
std::string NumericVersion(const std::string& version) {
  unsigned long long number = 0;
  for (const char digit : version) number = std::min(number * 10 + static_cast<unsigned>(digit - '0'), 0xFFFFFFFFULL);
  return "0.0." + std::to_string((number >> 16) & 0xFFFF) + "." + std::to_string(number & 0xFFFF);
}

long long EstimatedKilobytes(const InstallerContents& contents) {
  long long bytes = 0;
  for (const InstallerFile& file : contents.files) bytes += std::max(file.size, 0LL);
  return (bytes + 1023) / 1024;
}

void WriteAttributes(const PackageInputs& inputs, const InstallerContents& contents, std::ostream& script) {
  const bool x64 = inputs.arch == ProgramArch::kX64;
  const std::string title = "ZenquiloStudent " + inputs.version + " (" + ArchName(inputs.arch) + ")";
  script << "; " << title << ": the installer zq_publish made from the release.\n"
         << "Unicode true\n"
         << "Target " << (x64 ? "amd64-unicode" : "x86-unicode") << "\n"
         << "SetCompressor /SOLID lzma\n"
         << "RequestExecutionLevel admin\n"
         << "ManifestDPIAware true\n"
         << "Name \"ZenquiloStudent\"\n"
         << "OutFile \"setup.exe\"\n"
         << "BrandingText " << Quote(title) << "\n"
         << "!define PROGRAM_FILES \"" << (x64 ? "$PROGRAMFILES64" : "$PROGRAMFILES32") << "\"\n"
         << "!define VERSION " << Quote(inputs.version) << "\n"
         << "!define NUMERIC_VERSION \"" << NumericVersion(inputs.version) << "\"\n"
         << "!define ESTIMATED_KB " << EstimatedKilobytes(contents) << "\n";
}

// Pages, languages and messages. With /S none of it shows; started by an
// update the directory page is skipped, and the window closes by itself.
constexpr char kInterface[] = R"nsis(
!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh

!define PRODUCT "ZenquiloStudent"
!define PROGRAM "ZenquiloStudent.exe"
!define PRODUCT_KEY "Software\ZenquiloStudent"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZenquiloStudent"
; ZenquiloStudent holds this mutex while it runs (app/single_instance.h).
!define MUTEX "NivaroPelmanhur"

Var UpdateRoad
Var WasRunning
Var Failed

!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipWhenUpdating
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString Waiting ${LANG_SIMPCHINESE} "正在等待 ZenquiloStudent 退出……"
LangString Waiting ${LANG_ENGLISH} "Waiting for ZenquiloStudent to exit..."
LangString StillRunning ${LANG_SIMPCHINESE} "ZenquiloStudent 仍在运行。请退出它，然后点“重试”。"
LangString StillRunning ${LANG_ENGLISH} "ZenquiloStudent is still running. Exit it, then choose Retry."
LangString NotReplaced ${LANG_SIMPCHINESE} "有些文件未能替换。ZenquiloStudent 下次启动时会再次更新。"
LangString NotReplaced ${LANG_ENGLISH} "Some files could not be replaced. ZenquiloStudent will update again at its next start."

VIProductVersion "${NUMERIC_VERSION}"
VIFileVersion "${NUMERIC_VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "ZenquiloStudent"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "ZenquiloStudent ${VERSION} setup"
)nsis";

// Where to install and how to wait for the program. /D= sets INSTDIR before
// .onInit and nothing else does, so an empty INSTDIR means it was not given.
constexpr char kFunctions[] = R"nsis(
Function .onInit
  ${If} $INSTDIR == ""
    Call ChooseInstallDir
  ${EndIf}
FunctionEnd

; The full-package update starts us as <dir>\temp\setup<date>.exe.
Function ChooseInstallDir
  ${GetFileName} "$EXEDIR" $0
  ${GetParent} "$EXEDIR" $1
  ${If} $0 == "temp"
  ${AndIf} ${FileExists} "$1\${PROGRAM}"
    StrCpy $INSTDIR "$1"
    StrCpy $UpdateRoad 1
    Return
  ${EndIf}
  ReadRegStr $0 HKLM "${PRODUCT_KEY}" "InstallDir"
  ${If} $0 != ""
    ; The MSI writes its folder with a trailing backslash.
    StrCpy $1 "$0" "" -1
    ${If} $1 == "\"
      StrCpy $0 "$0" -1
    ${EndIf}
    StrCpy $INSTDIR "$0"
    Return
  ${EndIf}
  StrCpy $INSTDIR "${PROGRAM_FILES}\${PRODUCT}"
FunctionEnd

Function SkipWhenUpdating
  ${If} $UpdateRoad == 1
    Abort
  ${EndIf}
FunctionEnd

!macro WaitFunctions UN
; Polled: an update starts us just before ZenquiloStudent closes. After
; about a minute a person may retry; /S gives up (exit code 2).
Function ${UN}WaitForProgramToEnd
  StrCpy $R0 0
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${MUTEX}") p .r0'
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r0)'
    ${If} $WasRunning != 1
      DetailPrint "$(Waiting)"
      StrCpy $WasRunning 1
    ${EndIf}
    IntOp $R0 $R0 + 1
    ${If} $R0 > 120
      ${If} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(StillRunning)" /SD IDCANCEL IDRETRY`
        StrCpy $R0 0
      ${Else}
        Abort
      ${EndIf}
    ${EndIf}
    Sleep 500
  ${Loop}
FunctionEnd

; The mutex goes a moment before the system lets go of the program's image.
Function ${UN}WaitForProgramFile
  StrCpy $R0 0
  ${DoWhile} ${FileExists} "$INSTDIR\${PROGRAM}"
    ClearErrors
    FileOpen $0 "$INSTDIR\${PROGRAM}" a
    ${IfNot} ${Errors}
      FileClose $0
      ${Break}
    ${EndIf}
    IntOp $R0 $R0 + 1
    ${If} $R0 > 40
      ${Break}
    ${EndIf}
    Sleep 250
  ${Loop}
FunctionEnd
!macroend
!insertmacro WaitFunctions ""
!insertmacro WaitFunctions "un."

Function Register
  WriteRegStr HKLM "${PRODUCT_KEY}" "InstallDir" "$INSTDIR"
  ; Windows shares HKLM\Software\Classes between a 64-bit system's two views;
  ; written in the native view, the scheme reaches every program as it does there.
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  WriteRegStr HKLM "Software\Classes\kvts" "" "URL:kvts Protocol"
  WriteRegStr HKLM "Software\Classes\kvts" "URL Protocol" ""
  WriteRegStr HKLM "Software\Classes\kvts\shell\open\command" "" '"$INSTDIR\${PROGRAM}" "%1"'
  SetRegView default
  ; Installed by IT's MSI: its shortcut and its entry stay the ones in the
  ; Start menu and Programs and Features, and its removal the one removal.
  ReadRegStr $0 HKLM "${PRODUCT_KEY}" "Package"
  ${If} $0 == "MSI"
    Return
  ${EndIf}
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${PROGRAM}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${ESTIMATED_KB}
FunctionEnd
)nsis";

// The release's files, each under its own name, then what the release deletes.
void WriteFiles(const InstallerContents& contents, std::ostream& script) {
  std::string directory = "\n";  // no directory has this name: the first file sets one
  for (const InstallerFile& file : contents.files) {
    const std::string parent = ParentOf(file.installPath);
    if (parent != directory) script << "  SetOutPath " << InInstallDir(parent) << "\n";
    directory = parent;
    const std::string name = file.installPath.substr(parent.empty() ? 0 : parent.size() + 1);
    script << "  File " << Quote("/oname=" + name) << " " << Quote(file.source) << "\n";
  }
  for (const std::string& path : contents.deletions) script << "  Delete " << InInstallDir(path) << "\n";
}

void WriteRegistrations(const InstallerContents& contents, const char* option, std::ostream& script) {
  for (const InstallerFile& file : contents.files) {
    if (!file.registers) continue;
    // regsvr32 by its full path, the DLL's quoted: as the updater registers it.
    script << "  ExecWait '\"$SYSDIR\\regsvr32.exe\" " << option << "\"$INSTDIR\\"
           << Quote(WindowsPath(file.installPath)).substr(1) << "'\n";
  }
}

// A file that could not be replaced leaves the old package.json, so the
// program sees the release still due and updates again.
void WriteInstallSection(const InstallerContents& contents, std::ostream& script) {
  script << "\nSection \"ZenquiloStudent\"\n"
         << "  SetShellVarContext all\n"
         << "  ${If} $UpdateRoad == 1\n    SetAutoClose true\n  ${EndIf}\n"
         << "  Call WaitForProgramToEnd\n"
         << "  Call WaitForProgramFile\n"
         << "  ClearErrors\n";
  WriteFiles(contents, script);
  script << "  ${If} ${Errors}\n    StrCpy $Failed 1\n  ${EndIf}\n";
  WriteRegistrations(contents, "/s ", script);
  script << "  SetOutPath \"$INSTDIR\"\n"
         << "  ${If} $Failed == 1\n"
         << "    DetailPrint \"$(NotReplaced)\"\n"
         << "    MessageBox MB_OK|MB_ICONEXCLAMATION \"$(NotReplaced)\" /SD IDOK\n"
         << "    SetErrorLevel 2\n"
         << "  ${Else}\n"
         << "    File \"/oname=package.json\" \"package.json\"\n"
         << "  ${EndIf}\n"
         << "  Call Register\n"
         // A program started by IT's silent install would run as the
         // installing account: only a replaced or updating one comes back.
         << "  ${If} $UpdateRoad == 1\n  ${OrIf} $WasRunning == 1\n"
         << "    Exec '\"$INSTDIR\\${PROGRAM}\"'\n"
         << "  ${EndIf}\n"
         << "SectionEnd\n";
}

// What the installer put there and what the program made in temp\; the
// shells' cache\ stays, and with it the directory.
void WriteUninstallSection(const InstallerContents& contents, std::ostream& script) {
  script << "\nSection \"Uninstall\"\n"
         << "  SetShellVarContext all\n"
         << "  Call un.WaitForProgramToEnd\n"
         << "  Call un.WaitForProgramFile\n";
  WriteRegistrations(contents, "/u /s ", script);
  // A file still in use (a shell left open) goes at the next restart.
  for (const InstallerFile& file : contents.files) {
    script << "  Delete /REBOOTOK " << InInstallDir(file.installPath) << "\n";
  }
  script << "  Delete \"$INSTDIR\\package.json\"\n"
         << "  Delete \"$INSTDIR\\zenquilostudent.ini\"\n"
         << "  RMDir /r \"$INSTDIR\\temp\"\n"
         << "  Delete \"$INSTDIR\\uninstall.exe\"\n";
  for (const std::string& directory : DirectoriesDeepestFirst(contents)) {
    script << "  RMDir " << InInstallDir(directory) << "\n";
  }
  script << "  RMDir \"$INSTDIR\"\n"
         << "  ${If} ${RunningX64}\n"
         << "    SetRegView 64\n"
         << "  ${EndIf}\n"
         << "  DeleteRegKey HKLM \"Software\\Classes\\kvts\"\n"
         << "  SetRegView default\n"
         << "  DeleteRegKey HKLM \"${PRODUCT_KEY}\"\n"
         << "  DeleteRegKey HKLM \"${UNINSTALL_KEY}\"\n"
         << "  Delete \"$SMPROGRAMS\\${PRODUCT}.lnk\"\n"
         << "SectionEnd\n";
}

}  // namespace

bool InstallerContentsFromManifest(const PackageInputs& inputs, InstallerContents& contents, std::string& problem) {
  PackageManifest manifest;
  if (PackageManifestParser::Parse(inputs.manifestText, manifest) != 0) {
    problem = "the manifest does not parse";
    return false;
  }
  InstallerContents read;
  for (const PackageFileEntry& entry : manifest.file_list()) {
    std::string path;
    if (!EntryInstallPath(entry, path, problem)) return false;
    if (FoldAsciiCase(path) == kUninstallerName) {
      problem = std::string("the release holds its own ") + kUninstallerName + ", the installer's uninstaller";
      return false;
    }
    if (entry.act() == "delete") {
      read.deletions.push_back(path);
    } else {
      const std::string source = "files/" + std::to_string(read.files.size());
      read.files.push_back({path, source, entry.hash(), entry.size(), entry.act() == "reg"});
    }
  }
  contents = read;
  return true;
}

std::string InstallerScript(const PackageInputs& inputs, const InstallerContents& contents) {
  std::ostringstream script;
  WriteAttributes(inputs, contents, script);
  script << kInterface << kFunctions;
  WriteInstallSection(contents, script);
  WriteUninstallSection(contents, script);
  return script.str();
}
