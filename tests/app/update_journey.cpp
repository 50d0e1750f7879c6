#include "tests/app/update_journey.h"

#include "tests/app/app_test_environment.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"

std::string Md5Of(const std::string& bytes) {
  CMD5Checksum digest;
  digest.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return digest.Final();
}

std::string Sha256Of(const std::string& bytes) {
  return Sha256HexOfBytes(bytes);
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string ManifestText(const std::string& version, const std::string& baseUrl, const std::vector<ReleaseFile>& files,
                         bool withSha256) {
  std::string text = "{\n  \"version\": " + JsonText(version) +
                     ",\n  \"package_date\": \"20261207\",\n  \"full_update\": false,\n  \"type\": \"force\",\n"
                     "  \"install_package_url\": \"\",\n  \"file_list\": [";
  for (size_t i = 0; i < files.size(); ++i) {
    const ReleaseFile& f = files[i];
    text += (i ? ",\n    {" : "\n    {");
    text += "\"name\": " + JsonText(f.name) +
            ", \"remote_url\": " + JsonText(baseUrl + "/files/" + std::to_string(i) + "/" + version) +
            ", \"hash\": " + JsonText(Md5Of(f.content)) + ", \"local_path\": " + JsonText(f.localPath) +
            ", \"ver\": " + JsonText(f.ver) + ", \"act\": " + JsonText(f.act) +
            ", \"size\": " + std::to_string(f.content.size());
    if (withSha256) text += ", \"sha256\": " + JsonText(Sha256Of(f.content));
    text += "}";
  }
  return text + "\n  ]\n}\n";
}

UpdateJourneyTest::UpdateJourneyTest() : install_(g_buildDirectory, L"zq journey") {}

void UpdateJourneyTest::SetUp() {
  ASSERT_TRUE(server_.Start());
  install_.WriteFileBytes(L"zenquilostudent.ini",
                          "[global]\r\nURL_UPDATE_PACKAGE=" + server_.BaseUrl() + "/soft/package.json\r\n");
  comServer_ = ReadFileBytes(g_buildDirectory + L"\\fixtures\\com_server.dll");
  ASSERT_FALSE(comServer_.empty()) << "the COM server fixture is missing";
}

std::vector<ReleaseFile> UpdateJourneyTest::OldRelease() const {
  return {
      {"", "a.dll", "1", "", "a, release 9", L"a.dll"},
      {"", "c.txt", "1", "", "c, unchanged", L"c.txt"},
      {"", "e.txt", "1", "", "e, to be deleted", L"e.txt"},
  };
}

std::vector<ReleaseFile> UpdateJourneyTest::NewRelease() const {
  return {
      {"", "a.dll", "2", "", "a, release 12", L"a.dll"},
      {"bin\\", "b.txt", "1", "", "b, new in 12", L"bin\\b.txt"},
      {"data/", kChineseNarrow + ".dat", "3", "", "chinese, new in 12", L"data\\" + kChineseWide + L".dat"},
      {"", "c.txt", "1", "", "c, unchanged", L"c.txt"},
      {"com\\", "com_server.dll", "2", "reg", comServer_, L"com\\com_server.dll"},
      {"", "e.txt", "2", "delete", "e, marker", L"e.txt"},
  };
}

void UpdateJourneyTest::InstallOldRelease() {
  for (const ReleaseFile& f : OldRelease()) install_.WriteFileBytes(f.installedPath, f.content);
  oldManifest_ = ManifestText("9", server_.BaseUrl(), OldRelease());
  install_.WriteFileBytes(L"package.json", oldManifest_);
}

void UpdateJourneyTest::PublishNewRelease() {
  const std::vector<ReleaseFile> files = NewRelease();
  newManifest_ = ManifestText("12", server_.BaseUrl(), files);
  server_.SetResource("/soft/package.json", newManifest_);
  for (size_t i = 0; i < files.size(); ++i) {
    server_.SetResource("/files/" + std::to_string(i) + "/12", files[i].content);
  }
}

void UpdateJourneyTest::StageNewRelease() {
  InstallOldRelease();
  PublishNewRelease();
  RunningProgram first = StartProgram(install_.Program(), L"");
  WaitForWorker(first);
  ASSERT_TRUE(Exists(L"temp\\package.json"));
}

void UpdateJourneyTest::ExpectNewReleaseInstalled() const {
  for (const ReleaseFile& f : NewRelease()) {
    if (f.act == "delete") {
      EXPECT_FALSE(Exists(f.installedPath));
    } else {
      EXPECT_EQ(ReadFileBytes(At(f.installedPath)), f.content) << testing::PrintToString(f.installedPath);
    }
  }
}

std::string UpdateJourneyTest::ReleaseOnDisk() const {
  const std::string manifest = ReadFileBytes(At(L"package.json"));
  const bool newManifest = manifest == WithCrLf(newManifest_);
  if (!newManifest && manifest != oldManifest_) return "package.json is neither release's";
  std::string state = newManifest ? "new" : "old";
  std::vector<ReleaseFile> expected = newManifest ? NewRelease() : OldRelease();
  for (const ReleaseFile& f : expected) {
    if (f.act == "delete") {
      if (Exists(f.installedPath)) state += ", deleted file present";
    } else if (ReadFileBytes(At(f.installedPath)) != f.content) {
      state += ", wrong " + std::string(f.name);
    }
  }
  if (!newManifest && Exists(L"bin\\b.txt")) state += ", new file present";
  return state;
}

HWND UpdateJourneyTest::ProgressBarOf(const RunningProgram& program) const {
  HWND dialog = TopLevelWindowOf(program.pid(), L"#32770");
  return dialog != nullptr ? GetDlgItem(dialog, -1) : nullptr;
}

void UpdateJourneyTest::WaitForWorker(RunningProgram& program) {
  ASSERT_TRUE(WaitUntil([&] { return FindWindowW(kTrayClass, kTrayClass) != nullptr; }));
  size_t seen = static_cast<size_t>(-1);
  ULONGLONG quietSince = GetTickCount64();
  WaitUntil(
      [&] {
        if (Exists(L"temp\\package.json")) return true;
        const size_t now = server_.RequestCount();
        if (now != seen) {
          seen = now;
          quietSince = GetTickCount64();
        }
        return GetTickCount64() - quietSince > 4000;
      },
      60000);
  EXPECT_TRUE(program.IsRunning());
}
