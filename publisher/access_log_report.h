#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>

// What nginx's access logs of the update server, or of a school's cache, say
// about a rollout (deploy/nginx/*.conf.in write them: the combined format,
// with fields after it that this ignores). Pure; any thread.
//
// An update check is a GET of the manifest (".../package.json", any status);
// the PC's installed version is its "v" parameter, which clients before it
// do not send ("unknown"). A form's request is a GET under
// ".../files/<ver>/", ".../compressed/<ver>/" or ".../deltas/<ver>/", as the
// publisher lays a release out; only answers that carried the file's bytes
// (200, 206) count, with the bytes nginx sent.

// One line's fields that the report reads.
struct AccessLogLine {
  std::string day;  // "YYYY-MM-DD", in the server's local time as logged
  std::string method;
  std::string target;  // as requested: path and query
  int status = 0;
  std::uint64_t bytes = 0;
};

// False for a line that is not of that format (a date that is no date, no
// quoted request, a status or byte count that is not a number).
bool ParseAccessLogLine(const std::string& line, AccessLogLine& parsed);

enum class ServedForm { kWhole, kCompressed, kDelta };

class AccessLogReport {
 public:
  // Reads one line (without its line break); a malformed one is counted.
  void AddLine(const std::string& line);
  // A line too long to be one nginx wrote: counted as malformed unread.
  void AddMalformed() { ++malformed_; }

  // The release reported on: the given one, else the newest ver of a form
  // served; none when no form was.
  std::optional<std::int32_t> ReleaseOf(std::optional<std::int32_t> given) const;

  // Per day, the checks and the share of each installed version (the
  // release's share first), then the forms of the release's files served;
  // the malformed lines last.
  void Print(std::ostream& out, std::optional<std::int32_t> release) const;

  std::uint64_t malformed() const { return malformed_; }

 private:
  struct Served {
    std::uint64_t requests = 0;
    std::uint64_t bytes = 0;
  };
  // Day, then installed version ("" for unknown), then checks.
  std::map<std::string, std::map<std::string, std::uint64_t>> checks_;
  // Ver, then form.
  std::map<std::int32_t, std::map<ServedForm, Served>> served_;
  std::uint64_t malformed_ = 0;

  void PrintDay(std::ostream& out, const std::string& day, const std::map<std::string, std::uint64_t>& versions,
                std::optional<std::int32_t> release) const;
};
