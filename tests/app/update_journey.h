#pragma once

// The journey of an update, shared by the tests that run the real program
// against our HTTP server inside the test process: releases as manifests and
// files, an install directory holding release 9, and release 12 served.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/wine_support.h"
#include "tests/server/test_http_server.h"

inline constexpr wchar_t kTrayClass[] = L"Zenquilo教育";
inline constexpr DWORD kSecondCopyExitCode = 0xFFFFFFFF;

// "中文" in code page 936, as manifests carry non-ASCII names.
inline const std::string kChineseNarrow = "\xD6\xD0\xCE\xC4";
inline const std::wstring kChineseWide = L"\x4E2D\x6587";

std::string Md5Of(const std::string& bytes);
std::string Sha256Of(const std::string& bytes);
std::string JsonText(const std::string& text);
std::string WithCrLf(const std::string& text);

// One file of a release as the manifest lists it.
struct ReleaseFile {
  std::string localPath;  // narrow, ends in a separator or is empty
  std::string name;       // narrow, code page 936
  std::string ver;
  std::string act;
  std::string content;
  std::wstring installedPath;  // relative, as the file system shows it
};

// A manifest of version that lists files with their sizes, file i served at
// baseUrl + "/files/<i>/<version>". withSha256 adds the digests of a signed release.
std::string ManifestText(const std::string& version, const std::string& baseUrl, const std::vector<ReleaseFile>& files,
                         bool withSha256 = false);

class UpdateJourneyTest : public testing::Test {
 protected:
  UpdateJourneyTest();
  void SetUp() override;

  // Release 9, as installed.
  std::vector<ReleaseFile> OldRelease() const;
  // Release 12 on the server: two changed, three new (one in a Chinese-named
  // directory, one COM server to register), one unchanged, one deleted.
  std::vector<ReleaseFile> NewRelease() const;

  void InstallOldRelease();
  void PublishNewRelease();
  // Release 9 installed, release 12 published, and run one's worker done:
  // release 12 staged with its pending manifest.
  void StageNewRelease();
  // Every file of release 12 in place, and the deleted one gone.
  void ExpectNewReleaseInstalled() const;

  std::wstring At(const std::wstring& relative) const { return install_.Path() + relative; }
  bool Exists(const std::wstring& relative) const {
    return GetFileAttributesW(At(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  // Which release the directory holds: "old", "new", or what is mixed up.
  std::string ReleaseOnDisk() const;
  HWND ProgressBarOf(const RunningProgram& program) const;
  // The worker has reported: either the pending manifest is there, or the
  // server has seen no new request for a while.
  void WaitForWorker(RunningProgram& program);

  InstallDirectory install_;
  test_http::TestHttpServer server_;
  std::string comServer_;
  std::string oldManifest_;
  std::string newManifest_;
};
