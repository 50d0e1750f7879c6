#include "publisher/command_requests.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

#include "publisher/command_line.h"
#include "publisher/publish_rules.h"
#include "publisher/release_tree.h"

namespace {

// The options of a release that a rollback hands on as they were given.
const char* const kPassedOn[] = {"--sign-key", "--expires",   "--zstd-level",        "--delta-releases",
                                 "--rollout",  "--sign-cert", "--sign-password-file"};

std::optional<std::string> Optional(const CommandLine& line, const std::string& option) {
  return line.Has(option) ? std::optional<std::string>(line.Value(option)) : std::nullopt;
}

// A given option's number, from low to high; true when it was not given.
bool OptionalNumber(const CommandLine& line, const std::string& option, int low, int high, std::optional<int>& value) {
  if (!line.Has(option)) return true;
  int number = 0;
  if (!SmallNumber(line.Value(option), low, high, number)) return false;
  value = number;
  return true;
}

bool IsPlainUrl(const std::string& url) {
  bool plain = url.compare(0, 7, "http://") == 0 || url.compare(0, 8, "https://") == 0;
  for (char c : url) plain = plain && static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
  return plain;
}

// The numbers of a publish command line; the first out of range is the one named.
bool ReadPublishNumbers(const CommandLine& line, PublishRequest& request, std::string& problem) {
  if (!OptionalNumber(line, "--zstd-level", 1, 19, request.zstdLevel)) {
    problem = "--zstd-level must be a number from 1 to 19";
    return false;
  }
  // The client reads at most 16 deltas of a file.
  if (!OptionalNumber(line, "--delta-releases", 0, 16, request.deltaReleases)) {
    problem = "--delta-releases must be a number from 0 to 16";
    return false;
  }
  std::optional<int> rollout;
  if (!OptionalNumber(line, "--rollout", 0, 100, rollout)) {
    problem = "--rollout must be a share in percent, from 0 to 100";
    return false;
  }
  request.rollout = rollout.value_or(kWholeRollout);
  return true;
}

}  // namespace

bool ParsePublishRequest(const std::vector<std::string>& arguments, PublishRequest& request, std::string& problem) {
  OptionNames names;
  names.single = {"--release-dir",       "--version", "--date",       "--base-url",       "--out",     "--installer",
                  "--sign-key",          "--expires", "--zstd-level", "--delta-releases", "--rollout", "--sign-cert",
                  "--sign-password-file"};
  names.repeated = {"--reg", "--delete", "--previous"};
  names.flags = {"--no-smaller-forms", "--make-installer"};
  names.required = {"--release-dir", "--version", "--date", "--base-url", "--out"};
  CommandLine line;
  if (!ParseCommandLine(arguments, names, line, problem)) return false;
  request = PublishRequest();
  request.version = line.Value("--version");
  // The client reads numbers with strtol into 32 bits: a larger one would
  // saturate and could no longer be told from the next.
  if (!IsVerText(request.version) || std::stoll(request.version) > std::numeric_limits<std::int32_t>::max()) {
    problem = "--version must be decimal digits, at most 2147483647";
    return false;
  }
  request.baseUrl = line.Value("--base-url");
  if (!IsPlainUrl(request.baseUrl)) {
    problem = "--base-url must be an http:// or https:// URL of printable ASCII";
    return false;
  }
  if (!ReadPublishNumbers(line, request, problem) || !ReadCodeSigningOptions(line, request.codeSigning, problem)) {
    return false;
  }
  request.releaseDir = line.Value("--release-dir");
  request.date = line.Value("--date");
  request.out = line.Value("--out");
  request.previous = line.Values("--previous");
  request.regPatterns = line.Values("--reg");
  request.deletePaths = line.Values("--delete");
  // An operator on Windows may well type "bin\old.dll".
  for (std::string& path : request.deletePaths) std::replace(path.begin(), path.end(), '\\', '/');
  request.installer = Optional(line, "--installer");
  request.makeInstaller = line.flags.count("--make-installer") != 0;
  if (request.installer && request.makeInstaller) {
    problem = "--installer and --make-installer exclude each other: a full release has one installer";
    return false;
  }
  request.signKey = Optional(line, "--sign-key");
  request.expires = Optional(line, "--expires");
  request.smallerForms = line.flags.count("--no-smaller-forms") == 0;
  return true;
}

bool ReadCodeSigningOptions(const CommandLine& line, std::optional<SigningCertificate>& certificate,
                            std::string& problem) {
  certificate.reset();
  if (line.Has("--sign-cert") != line.Has("--sign-password-file")) {
    problem = "--sign-cert and --sign-password-file go together";
    return false;
  }
  if (line.Has("--sign-cert")) {
    certificate =
        SigningCertificate{PathFromUtf8(line.Value("--sign-cert")), PathFromUtf8(line.Value("--sign-password-file"))};
  }
  return true;
}

bool ParseSignRequest(const std::vector<std::string>& arguments, SignRequest& request, std::string& problem) {
  OptionNames names;
  names.single = {"--release-dir", "--sign-cert", "--sign-password-file"};
  names.required = names.single;
  CommandLine line;
  if (!ParseCommandLine(arguments, names, line, problem)) return false;
  request = SignRequest();
  request.releaseDir = line.Value("--release-dir");
  request.certificate = {PathFromUtf8(line.Value("--sign-cert")), PathFromUtf8(line.Value("--sign-password-file"))};
  return true;
}

bool ParseRolloutRequest(const std::vector<std::string>& arguments, RolloutRequest& request, std::string& problem) {
  OptionNames names;
  names.single = {"--out", "--percent", "--sign-key"};
  names.required = {"--out", "--percent"};
  CommandLine line;
  if (!ParseCommandLine(arguments, names, line, problem)) return false;
  request = RolloutRequest();
  if (!SmallNumber(line.Value("--percent"), 0, 100, request.percent)) {
    problem = "--percent must be a share in percent, from 0 to 100";
    return false;
  }
  request.out = line.Value("--out");
  request.signKey = Optional(line, "--sign-key");
  return true;
}

bool ParseRollbackRequest(const std::vector<std::string>& arguments, RollbackRequest& request, std::string& problem) {
  OptionNames names;
  names.single = {"--to", "--version", "--out", "--base-url", "--date"};
  names.single.insert(names.single.end(), std::begin(kPassedOn), std::end(kPassedOn));
  names.repeated = {"--previous"};
  names.flags = {"--no-smaller-forms"};
  names.required = {"--to", "--version", "--out"};
  CommandLine line;
  if (!ParseCommandLine(arguments, names, line, problem)) return false;
  request = RollbackRequest();
  request.previous = line.Values("--previous");
  if (request.previous.empty()) {
    problem = "--previous (the current release) is required";
    return false;
  }
  // Judged here too, so that the rollback's own usage follows the problem.
  std::optional<SigningCertificate> codeSigning;
  if (!ReadCodeSigningOptions(line, codeSigning, problem)) return false;
  request.to = line.Value("--to");
  request.version = line.Value("--version");
  request.out = line.Value("--out");
  request.baseUrl = line.Value("--base-url");
  request.date = Optional(line, "--date");
  request.signKey = Optional(line, "--sign-key");
  for (const char* option : kPassedOn) {
    if (line.Has(option)) request.passedOn.emplace_back(option, line.Value(option));
  }
  request.smallerForms = line.flags.count("--no-smaller-forms") == 0;
  return true;
}

bool ParsePackageRequest(const std::vector<std::string>& arguments, PackageRequest& request, std::string& problem) {
  OptionNames names;
  names.single = {"--published", "--release-dir", "--out", "--sign-cert", "--sign-password-file"};
  names.required = {"--published", "--release-dir", "--out"};
  CommandLine line;
  if (!ParseCommandLine(arguments, names, line, problem)) return false;
  request = PackageRequest();
  if (!ReadCodeSigningOptions(line, request.codeSigning, problem)) return false;
  request.published = line.Value("--published");
  request.releaseDir = line.Value("--release-dir");
  request.out = line.Value("--out");
  return true;
}

bool ParseKeygenRequest(const std::vector<std::string>& arguments, KeygenRequest& request, std::string& problem) {
  request = KeygenRequest();
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string value;
    if (arguments[i].compare(0, 6, "--out=") == 0) {
      value = arguments[i].substr(6);
    } else if (arguments[i] == "--out" && i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      problem = arguments[i] == "--out" ? "--out needs a value" : "unknown argument \"" + arguments[i] + "\"";
      return false;
    }
    if (!request.prefix.empty()) {
      problem = "--out given twice";
      return false;
    }
    request.prefix = value;
    if (request.prefix.empty()) {
      problem = "--out needs a value";
      return false;
    }
  }
  if (request.prefix.empty()) problem = "--out is required";
  return !request.prefix.empty();
}

bool ParseReportRequest(const std::vector<std::string>& arguments, ReportRequest& request, std::string& problem) {
  OptionNames names;
  names.single = {"--release"};
  names.repeated = {"--log"};
  CommandLine line;
  if (!ParseCommandLine(arguments, names, line, problem)) return false;
  request = ReportRequest();
  request.logs = line.Values("--log");
  if (request.logs.empty()) {
    problem = "--log (an access log of the update server or of a school's cache) is required";
    return false;
  }
  if (line.Has("--release")) {
    const std::string text = line.Value("--release");
    const bool digits = !text.empty() && text.size() <= 10 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoull(text) > static_cast<unsigned long long>(std::numeric_limits<std::int32_t>::max())) {
      problem = "--release must be a version number, from 0 to 2147483647";
      return false;
    }
    request.release = static_cast<std::int32_t>(std::stoll(text));
  }
  return true;
}
