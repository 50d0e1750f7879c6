#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/unique_resource.h"
#include "publisher/access_log_report.h"
#include "publisher/command_requests.h"
#include "publisher/operator_commands.h"
#include "publisher/publisher.h"
#include "publisher/release_tree.h"

namespace {

constexpr char kUsage[] = "usage: zq_publish report --log ACCESS_LOG [--log ACCESS_LOG]... [--release N]\n";

// nginx's lines are a few hundred bytes; a longer one is no line of its own.
constexpr std::size_t kMaxLineBytes = 64 * 1024;

int CloseGzip(gzFile file) {
  return gzclose(file);
}
using UniqueGzip = UniqueResource<NullableTraits<gzFile, &CloseGzip>>;

gzFile OpenLog(const fs::path& path) {
#ifdef _WIN32
  return gzopen_w(path.c_str(), "rb");
#else
  return gzopen(path.c_str(), "rb");
#endif
}

// Every line of one log into report; zlib reads a plain file as it is and a
// gzip file (a rotated log, or several concatenated) decompressed. False
// with problem set when it cannot be opened or read to its end.
bool ReadLog(const fs::path& path, AccessLogReport& report, std::string& problem) {
  const UniqueGzip file(OpenLog(path));
  if (!file) {
    problem = "cannot be opened";
    return false;
  }
  std::string line;
  bool tooLong = false;
  char buffer[8192];
  while (gzgets(file.get(), buffer, sizeof buffer) != nullptr) {
    const std::size_t length = std::strlen(buffer);
    const bool ended = length > 0 && buffer[length - 1] == '\n';
    if (!tooLong) line.append(buffer, length - (ended ? 1 : 0));
    tooLong = tooLong || line.size() > kMaxLineBytes;
    if (!ended) continue;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (tooLong) {
      report.AddMalformed();
    } else if (!line.empty()) {
      report.AddLine(line);
    }
    line.clear();
    tooLong = false;
  }
  int error = Z_OK;
  const char* message = gzerror(file.get(), &error);
  if (error != Z_OK) {
    // A gzip file cut short (still being written, or copied half) ends here.
    problem = std::string("cannot be read to its end: ") + message;
    return false;
  }
  if (tooLong) report.AddMalformed();
  if (!tooLong && !line.empty()) report.AddLine(line);
  return true;
}

}  // namespace

int RunReport(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  ReportRequest request;
  std::string problem;
  if (!ParseReportRequest(arguments, request, problem)) {
    err << "zq_publish report: " << problem << '\n' << kUsage;
    return kPublishBadArguments;
  }
  for (const std::string& log : request.logs) {
    std::error_code error;
    if (!fs::is_regular_file(PathFromUtf8(log), error)) {
      err << "zq_publish report: --log \"" << log << "\" is not a file\n";
      return kPublishBadArguments;
    }
  }
  AccessLogReport report;
  for (const std::string& log : request.logs) {
    if (!ReadLog(PathFromUtf8(log), report, problem)) {
      err << "zq_publish report: --log \"" << log << "\" " << problem << '\n';
      return kPublishIoError;
    }
  }
  report.Print(out, report.ReleaseOf(request.release));
  return kPublishOk;
}
