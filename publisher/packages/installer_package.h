#pragma once

#include <filesystem>
#include <string>

#include "publisher/packages/package_inputs.h"

// The installer executable of a release, ZenquiloStudent-<arch>-setup.exe,
// made with Debian's makensis (package nsis). It is what the full-package
// update starts from <dir>\temp\, and what a person or IT runs on a single
// PC (with /S: no window). It finds the install directory (/D=, else the
// directory whose temp\ it runs from, else the registry's InstallDir, else
// Program Files), waits until ZenquiloStudent has exited, installs the
// release's files and package.json, registers "kvts://", a Start-menu
// shortcut, an uninstaller and a Programs and Features entry, and starts
// ZenquiloStudent again when it replaced a running one or was started by an
// update. Its uninstaller removes what it installed and the program's temp\.

// "ZenquiloStudent-<arch>-setup.exe", as the package command and a full
// release name it.
std::string InstallerPackageName(const PackageInputs& inputs);

// Builds the installer into out (created or replaced): the release's files
// are proved against the manifest's MD5 first, then makensis runs on them in
// a scratch directory beside out, which goes afterwards. False and problem
// set (one line, or makensis's last lines) otherwise; out is then not
// written. The Windows build of zq_publish makes no packages and says so
// here. Any thread; runs makensis as a child process.
bool BuildInstallerPackage(const PackageInputs& inputs, const std::filesystem::path& out, std::string& problem);
