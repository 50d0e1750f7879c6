// zq_publish report: what an operator reads to decide whether a rollout goes
// on. A fault here shows the wrong share on the new release (a halt, or a
// widening, made on false figures), counts the signature or a failed
// download as a check or as bytes served, or stops at the first odd line of
// a month's logs.

#include "publisher/access_log_report.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/publisher/publisher_test_support.h"

namespace {

// As deploy/nginx/standalone.conf.in logs (the combined format, the Range,
// the connection), and a school cache's with what the cache did.
std::string Origin(const std::string& request, const std::string& status = "200", const std::string& bytes = "512",
                   const std::string& time = "01/Dec/2026:08:00:01 +0800") {
  return "10.0.0.7 - - [" + time + "] \"" + request + "\" " + status + " " + bytes +
         " \"-\" \"KVT Updater/1.0\" \"-\" 17";
}
std::string Cache(const std::string& request, const std::string& status = "200", const std::string& bytes = "512") {
  return "10.1.2.3 - - [02/Dec/2026:09:30:00 +0000] \"" + request + "\" " + status + " " + bytes +
         " \"-\" \"KVT Updater/1.0\" \"bytes=0-\" HIT 4";
}

TEST(ParseAccessLogLine, ReadsTheFieldsOfEitherFormatAndRefusesWhatIsNoLogLine) {
  struct Case {
    std::string line;
    bool parsed;
    const char* day;
    const char* target;
    int status;
    std::uint64_t bytes;
  } const cases[] = {
      {Origin("GET /soft/package.json?r=5&v=12 HTTP/1.1"), true, "2026-12-01", "/soft/package.json?r=5&v=12", 200, 512},
      {Cache("GET /files/12/a.dll HTTP/1.1", "206", "1048576"), true, "2026-12-02", "/files/12/a.dll", 206, 1048576},
      {Origin("GET /x", "400", "0"), true, "2026-12-01", "/x", 400, 0},
      {Origin("", "400", "0"), true, "2026-12-01", "", 400, 0},
      {"10.0.0.7 - - [31/Dec/2026:23:59:59 +0000] \"GET / HTTP/1.1\" 404 0", true, "2026-12-31", "/", 404, 0},
      {Origin("GET / HTTP/1.1", "200", "-"), false},
      {Origin("GET / HTTP/1.1", "2x0"), false},
      {Origin("GET / HTTP/1.1", "2000"), false},
      {Origin("GET / HTTP/1.1", "200", "99999999999999999999"), false},
      {Origin("GET / HTTP/1.1", "200", "512", "01/Dez/2026:08:00:01 +0800"), false},
      {Origin("GET / HTTP/1.1", "200", "512", "1/Dec/2026:08:00:01 +0800"), false},
      {"10.0.0.7 - - [01/Dec/2026:08:00:01 +0800] \"GET / HTTP/1.1", false},
      {"10.0.0.7 - - [01/Dec/2026:08:00:01 +0800] GET / HTTP/1.1 200 5", false},
      {"", false},
      {"\x1f\x8b\x08\x00 binary", false},
  };
  for (const Case& c : cases) {
    AccessLogLine parsed;
    ASSERT_EQ(ParseAccessLogLine(c.line, parsed), c.parsed) << c.line;
    if (!c.parsed) continue;
    EXPECT_EQ(parsed.day, c.day) << c.line;
    EXPECT_EQ(parsed.target, c.target) << c.line;
    EXPECT_EQ(parsed.status, c.status) << c.line;
    EXPECT_EQ(parsed.bytes, c.bytes) << c.line;
  }
}

std::string Printed(const std::vector<std::string>& lines, std::optional<std::int32_t> release = std::nullopt) {
  AccessLogReport report;
  for (const std::string& line : lines) report.AddLine(line);
  std::ostringstream out;
  report.Print(out, report.ReleaseOf(release));
  return out.str();
}

TEST(AccessLogReport, SharesOfChecksPerDayAndTheFormsOfTheNewestRelease) {
  const std::vector<std::string> lines = {
      Origin("GET /soft/package.json?r=1&v=12 HTTP/1.1"),
      Origin("GET /soft/package.json?r=2&v=012 HTTP/1.1"),  // counts as 12, as the client counts it
      Origin("GET /package.json?channel=beta?r=3&v=12 HTTP/1.1"),
      Origin("GET /soft/package.json?r=4&v=11 HTTP/1.1", "304", "0"),
      Origin("GET /soft/package.json?r=5 HTTP/1.1"),       // a client before "v"
      Origin("GET /soft/package.json?r=6&v=1x HTTP/1.1"),  // not what a client writes
      Origin("GET /soft/package.json.sig?r=1&v=12 HTTP/1.1"),
      Origin("HEAD /soft/package.json HTTP/1.1"),
      Origin("GET /files/12/bin/a.dll HTTP/1.1", "200", "100"),
      Origin("GET /zenquilo/files/12/c.dll HTTP/1.1", "200", "7"),  // a base URL with a path
      Origin("GET /compressed/12/bin/a.dll.zst HTTP/1.1", "200", "50"),
      Origin("GET /deltas/12/bin/a.dll.from-0A.zst HTTP/1.1", "206", "20"),
      Origin("GET /deltas/12/bin/a.dll.from-0A.zst HTTP/1.1", "206", "30"),
      Origin("GET /files/12/missing.dll HTTP/1.1", "404", "153"),
      Origin("GET /files/12/a.dll HTTP/1.1", "416", "0"),
      Origin("GET /files/11/b.dll HTTP/1.1", "200", "999"),
      Origin("GET /files/x/b.dll HTTP/1.1", "200", "999"),
      Cache("GET /soft/package.json?r=9&v=12 HTTP/1.1"),
      "garbage",
  };
  EXPECT_EQ(Printed(lines), "2026-12-01: 6 update checks,  50.0 % on release 12\n"
                            "  12               3   50.0 %\n"
                            "  11               1   16.7 %\n"
                            "  unknown          2   33.3 %\n"
                            "2026-12-02: 1 update checks, 100.0 % on release 12\n"
                            "  12               1  100.0 %\n"
                            "release 12, its files served by form (answers 200 and 206):\n"
                            "  whole              2 requests            107 bytes\n"
                            "  compressed         1 requests             50 bytes\n"
                            "  delta              2 requests             50 bytes\n"
                            "skipped 1 malformed line(s)\n");
}

TEST(AccessLogReport, AGivenReleaseWinsAndAReleaseNobodyRunsShowsZero) {
  const std::vector<std::string> lines = {Origin("GET /soft/package.json?r=1&v=12 HTTP/1.1"),
                                          Origin("GET /files/12/a.dll HTTP/1.1", "200", "100"),
                                          Origin("GET /files/11/b.dll HTTP/1.1", "200", "40")};
  EXPECT_EQ(Printed(lines, 11), "2026-12-01: 1 update checks,   0.0 % on release 11\n"
                                "  12               1  100.0 %\n"
                                "release 11, its files served by form (answers 200 and 206):\n"
                                "  whole              1 requests             40 bytes\n"
                                "  compressed         0 requests              0 bytes\n"
                                "  delta              0 requests              0 bytes\n");
  EXPECT_EQ(Printed({}), "no update checks in the logs\nno file of a release was served; name one with --release N\n");
}

class ReportCommand : public PublisherScratch {
 public:
  std::string Gzipped(const std::string& name, const std::string& text) const {
    gzFile file = gzopen(Text(name).c_str(), "wb");
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(gzwrite(file, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
    EXPECT_EQ(gzclose(file), Z_OK);
    return Text(name);
  }
};

// Catches a rotated log read as bytes (every line malformed), lines with CR
// LF, and a line longer than any nginx writes taken whole into memory.
TEST(ReportCommandTest, ReadsPlainAndRotatedLogsTogether) {
  ReportCommand work;
  work.Write("access.log", Origin("GET /soft/package.json?r=1&v=12 HTTP/1.1") + "\r\n" + std::string(70000, 'x') +
                               "\n" + Origin("GET /files/12/a.dll HTTP/1.1", "200", "100"));
  const std::string rotated =
      work.Gzipped("access.log.2.gz", Origin("GET /soft/package.json?r=1&v=11 HTTP/1.1") + "\n");
  const Outcome outcome = RunZqPublish({"report", "--log", work.Text("access.log"), "--log", rotated});
  EXPECT_EQ(outcome.code, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "2026-12-01: 2 update checks,  50.0 % on release 12\n"
                         "  12               1   50.0 %\n"
                         "  11               1   50.0 %\n"
                         "release 12, its files served by form (answers 200 and 206):\n"
                         "  whole              1 requests            100 bytes\n"
                         "  compressed         0 requests              0 bytes\n"
                         "  delta              0 requests              0 bytes\n"
                         "skipped 1 malformed line(s)\n");
}

TEST(ReportCommandTest, RefusesWhatItCannotRead) {
  ReportCommand work;
  const std::string whole = work.Gzipped("whole.gz", std::string(200000, 'y') + "\n");
  const std::string bytes = work.Read("whole.gz");
  work.Write("cut.gz", bytes.substr(0, bytes.size() / 2));
  const struct {
    std::vector<std::string> arguments;
    int code;
    const char* says;
  } cases[] = {
      {{"report"}, 2, "--log"},
      {{"report", "--log", work.Text("none.log")}, 2, "is not a file"},
      {{"report", "--log", work.Text(".")}, 2, "is not a file"},
      {{"report", "--log", whole, "--release", "12a"}, 2, "--release"},
      {{"report", "--log", whole, "--release", "2147483648"}, 2, "--release"},
      {{"report", "--log", work.Text("cut.gz")}, 4, "cannot be read to its end"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = RunZqPublish(c.arguments);
    EXPECT_EQ(outcome.code, c.code) << outcome.err;
    EXPECT_NE(outcome.err.find(c.says), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out, "");
  }
}

}  // namespace
