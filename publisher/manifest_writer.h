#pragma once

#include <string>

#include "update/manifest/package_manifest.h"

// Writes a PackageManifest as the text of a "package.json" document that the
// client's PackageManifestParser reads back field for field, byte for byte.
// Text fields are written as the bytes they hold (code page 936 for names),
// never as \u escapes of other characters: the client takes string bytes as
// they come. Inside strings every 0x5C byte and '"' get a backslash, because a
// code page 936 character can end in the byte 0x5C ("乗" is 81 5C) and JSON
// would otherwise read it as an escape. Control bytes become \u00XX. One file
// entry per line, LF line ends. The SHA-256 keys ("sha256" after "act",
// "install_package_sha256" after "install_package_url") are written only when
// they hold text, and so are "expires" (after "install_package_url") and
// "issued" (after "expires"), the sizes ("size" last, "install_package_size"
// after the installer's digest) only when they are known (at least 0), and a file's
// smaller forms ("compressed", then "deltas", after "size") only when it has
// them. Pure; any thread.
std::string WriteManifestText(const PackageManifest& manifest);

// One JSON string literal, quotes included, by the rule above.
std::string JsonStringLiteral(const std::string& bytes);
