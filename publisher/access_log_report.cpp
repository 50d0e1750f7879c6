#include "publisher/access_log_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "update/manifest/version_number.h"

namespace {

bool AllDigits(const std::string& text, std::size_t from, std::size_t count) {
  if (from + count > text.size()) return false;
  return std::all_of(text.begin() + from, text.begin() + from + count, [](char c) { return c >= '0' && c <= '9'; });
}

// "10/Oct/2026:13:55:36 +0800" as "2026-10-10"; empty when it is no such time.
std::string DayOf(const std::string& time) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (time.size() < 12 || !AllDigits(time, 0, 2) || time[2] != '/' || time[6] != '/' || !AllDigits(time, 7, 4) ||
      time[11] != ':') {
    return std::string();
  }
  for (int month = 0; month < 12; ++month) {
    if (time.compare(3, 3, kMonths[month]) != 0) continue;
    char day[11];
    std::snprintf(day, sizeof day, "%s-%02d-%s", time.substr(7, 4).c_str(), month + 1, time.substr(0, 2).c_str());
    return day;
  }
  return std::string();
}

// A decimal number of at most maxDigits digits at text[at], then a blank or the end.
bool ReadNumber(const std::string& text, std::size_t& at, std::size_t maxDigits, std::uint64_t& number) {
  std::size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end == at || end - at > maxDigits || (end < text.size() && text[end] != ' ')) return false;
  number = std::stoull(text.substr(at, end - at));
  at = end + 1;
  return true;
}

std::string PathOf(const std::string& target) {
  return target.substr(0, target.find('?'));
}

bool IsManifest(const std::string& path) {
  static const std::string kName = "/package.json";
  return path.size() >= kName.size() && path.compare(path.size() - kName.size(), kName.size(), kName) == 0;
}

// The "v" the client appended, as the version rule counts it; empty when
// there is none, or it is not the decimal number a client writes.
std::string InstalledVersion(const std::string& target) {
  std::size_t at = target.find('?');
  while (at != std::string::npos) {
    const std::size_t next = target.find_first_of("&?", at + 1);
    const std::string part = target.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    if (part.compare(0, 2, "v=") == 0) {
      const std::size_t sign = part.size() > 2 && part[2] == '-' ? 1 : 0;
      const std::size_t digits = part.size() - 2 - sign;
      if (digits == 0 || digits > 10 || !AllDigits(part, 2 + sign, digits)) return std::string();
      return std::to_string(VersionNumber(part.substr(2)));
    }
    at = next;
  }
  return std::string();
}

// The form and ver of a path ".../<form>/<ver>/<file>"; false for any other.
bool FormOf(const std::string& path, ServedForm& form, std::int32_t& ver) {
  std::vector<std::string> parts;
  for (std::size_t at = 0; at <= path.size();) {
    const std::size_t slash = std::min(path.find('/', at), path.size());
    parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  for (std::size_t i = 0; i + 2 < parts.size(); ++i) {
    const std::string& name = parts[i];
    if (name != "files" && name != "compressed" && name != "deltas") continue;
    if (parts[i + 1].size() > 10 || !AllDigits(parts[i + 1], 0, parts[i + 1].size()) || parts[i + 1].empty()) continue;
    form = name == "files" ? ServedForm::kWhole : name == "compressed" ? ServedForm::kCompressed : ServedForm::kDelta;
    ver = VersionNumber(parts[i + 1]);
    return true;
  }
  return false;
}

std::string Percent(std::uint64_t part, std::uint64_t whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%5.1f %%", whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / whole);
  return text;
}

std::string Padded(const std::string& text, std::size_t width, bool right) {
  if (text.size() >= width) return text;
  const std::string pad(width - text.size(), ' ');
  return right ? pad + text : text + pad;
}

}  // namespace

bool ParseAccessLogLine(const std::string& line, AccessLogLine& parsed) {
  const std::size_t open = line.find(" [");
  const std::size_t close = open == std::string::npos ? open : line.find("] \"", open);
  if (close == std::string::npos) return false;
  const std::string day = DayOf(line.substr(open + 2, close - open - 2));
  // nginx writes a quote inside the request as \x22: the next quote ends it.
  const std::size_t requestEnd = line.find('"', close + 3);
  if (day.empty() || requestEnd == std::string::npos || requestEnd + 1 >= line.size() || line[requestEnd + 1] != ' ') {
    return false;
  }
  std::size_t at = requestEnd + 2;
  std::uint64_t status = 0;
  std::uint64_t bytes = 0;
  if (!ReadNumber(line, at, 3, status) || !ReadNumber(line, at, 19, bytes)) return false;
  const std::string request = line.substr(close + 3, requestEnd - close - 3);
  const std::size_t blank = request.find(' ');
  parsed.day = day;
  parsed.method = request.substr(0, blank);
  parsed.target =
      blank == std::string::npos ? std::string() : request.substr(blank + 1, request.find(' ', blank + 1) - blank - 1);
  parsed.status = static_cast<int>(status);
  parsed.bytes = bytes;
  return true;
}

void AccessLogReport::AddLine(const std::string& line) {
  AccessLogLine parsed;
  if (!ParseAccessLogLine(line, parsed)) {
    ++malformed_;
    return;
  }
  if (parsed.method != "GET") return;
  const std::string path = PathOf(parsed.target);
  if (IsManifest(path)) {
    ++checks_[parsed.day][InstalledVersion(parsed.target)];
    return;
  }
  ServedForm form = ServedForm::kWhole;
  std::int32_t ver = 0;
  if ((parsed.status == 200 || parsed.status == 206) && FormOf(path, form, ver)) {
    Served& served = served_[ver][form];
    ++served.requests;
    served.bytes += parsed.bytes;
  }
}

std::optional<std::int32_t> AccessLogReport::ReleaseOf(std::optional<std::int32_t> given) const {
  if (given || served_.empty()) return given;
  return served_.rbegin()->first;
}

void AccessLogReport::PrintDay(std::ostream& out, const std::string& day,
                               const std::map<std::string, std::uint64_t>& versions,
                               std::optional<std::int32_t> release) const {
  std::uint64_t total = 0;
  for (const auto& version : versions) total += version.second;
  out << day << ": " << total << " update checks";
  if (release) {
    const auto onRelease = versions.find(std::to_string(*release));
    out << ", " << Percent(onRelease == versions.end() ? 0 : onRelease->second, total) << " on release " << *release;
  }
  out << '\n';
  // Newest version first, the clients that do not say last.
  std::vector<std::pair<std::string, std::uint64_t>> rows(versions.begin(), versions.end());
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    if (a.first.empty() != b.first.empty()) return b.first.empty();
    return VersionNumber(a.first) > VersionNumber(b.first);
  });
  for (const auto& row : rows) {
    out << "  " << Padded(row.first.empty() ? "unknown" : row.first, 10, false)
        << Padded(std::to_string(row.second), 8, true) << "  " << Percent(row.second, total) << '\n';
  }
}

void AccessLogReport::Print(std::ostream& out, std::optional<std::int32_t> release) const {
  if (checks_.empty()) out << "no update checks in the logs\n";
  for (const auto& day : checks_) PrintDay(out, day.first, day.second, release);
  if (!release) {
    out << "no file of a release was served; name one with --release N\n";
  } else {
    out << "release " << *release << ", its files served by form (answers 200 and 206):\n";
    const auto found = served_.find(*release);
    static const std::pair<ServedForm, const char*> kForms[] = {
        {ServedForm::kWhole, "whole"}, {ServedForm::kCompressed, "compressed"}, {ServedForm::kDelta, "delta"}};
    for (const auto& form : kForms) {
      Served served;
      if (found != served_.end() && found->second.count(form.first) != 0) served = found->second.at(form.first);
      out << "  " << Padded(form.second, 12, false) << Padded(std::to_string(served.requests), 8, true) << " requests "
          << Padded(std::to_string(served.bytes), 14, true) << " bytes\n";
    }
  }
  if (malformed_ != 0) out << "skipped " << malformed_ << " malformed line(s)\n";
}
