#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "publisher/command_line.h"
#include "publisher/packages/code_signing.h"
#include "update/manifest/package_manifest.h"

// What each zq_publish command was asked to do, read from its arguments once
// (UTF-8, without the command's name): the numbers as numbers, each option
// given or not. A parser judges only what the text itself tells (the syntax,
// a number's range, a URL's form); whatever needs the file system or a key,
// each command judges in its own order. False with problem set to one line
// that the command prints before its usage (exit code 2). Pure; any thread.

// zq_publish --release-dir DIR --version N ... (publisher.h).
struct PublishRequest {
  std::string releaseDir;  // each path as typed: messages name it so
  std::string version;     // decimal digits, at most 2147483647
  std::string date;
  std::string baseUrl;  // http:// or https://, printable ASCII, as typed
  std::string out;
  std::vector<std::string> previous;
  std::vector<std::string> regPatterns;
  std::vector<std::string> deletePaths;  // "\" turned into "/"
  std::optional<std::string> installer;
  bool makeInstaller = false;  // --make-installer: never with --installer
  std::optional<std::string> signKey;
  std::optional<SigningCertificate> codeSigning;  // the program must carry its signature
  std::optional<std::string> expires;             // days as typed, judged once the key is known
  std::optional<int> zstdLevel;                   // 1 to 19
  std::optional<int> deltaReleases;               // 0 to 16
  int rollout = kWholeRollout;                    // 0 to 100
  bool smallerForms = true;                       // false with --no-smaller-forms
};
bool ParsePublishRequest(const std::vector<std::string>& arguments, PublishRequest& request, std::string& problem);

// --sign-cert FILE.p12 and --sign-password-file FILE, which go together:
// none when neither was given.
bool ReadCodeSigningOptions(const CommandLine& line, std::optional<SigningCertificate>& certificate,
                            std::string& problem);

// zq_publish sign --release-dir DIR --sign-cert FILE.p12 --sign-password-file FILE.
struct SignRequest {
  std::string releaseDir;
  SigningCertificate certificate;
};
bool ParseSignRequest(const std::vector<std::string>& arguments, SignRequest& request, std::string& problem);

// zq_publish rollout --out DIR --percent P [--sign-key FILE].
struct RolloutRequest {
  std::string out;
  int percent = 0;  // 0 to 100
  std::optional<std::string> signKey;
};
bool ParseRolloutRequest(const std::vector<std::string>& arguments, RolloutRequest& request, std::string& problem);

// zq_publish rollback --to PUBLISHED_DIR --version N --out DIR --previous FILE... [...].
struct RollbackRequest {
  std::string to;
  std::string version;  // as typed; the release it publishes judges it
  std::string out;
  std::vector<std::string> previous;  // at least one
  std::string baseUrl;                // empty: the current release's
  std::optional<std::string> date;    // none: today's
  std::optional<std::string> signKey;
  // The options of a release that were given (--sign-key among them), in a
  // fixed order, handed on to the release as they were typed.
  std::vector<std::pair<std::string, std::string>> passedOn;
  bool smallerForms = true;
};
bool ParseRollbackRequest(const std::vector<std::string>& arguments, RollbackRequest& request, std::string& problem);

// zq_publish package --published DIR --release-dir DIR --out DIR
//                    [--sign-cert FILE --sign-password-file FILE].
struct PackageRequest {
  std::string published;   // the published release: its package.json is installed
  std::string releaseDir;  // the release tree it was published from
  std::string out;
  std::optional<SigningCertificate> codeSigning;  // signs each package; the program must carry it
};
bool ParsePackageRequest(const std::vector<std::string>& arguments, PackageRequest& request, std::string& problem);

// zq_publish keygen --out PREFIX.
struct KeygenRequest {
  std::string prefix;  // not empty
};
bool ParseKeygenRequest(const std::vector<std::string>& arguments, KeygenRequest& request, std::string& problem);

// zq_publish report --log ACCESS_LOG... [--release N].
struct ReportRequest {
  std::vector<std::string> logs;        // at least one
  std::optional<std::int32_t> release;  // decimal digits, at most 2147483647
};
bool ParseReportRequest(const std::vector<std::string>& arguments, ReportRequest& request, std::string& problem);
