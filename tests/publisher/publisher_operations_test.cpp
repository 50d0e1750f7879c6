// zq_publish rollout and rollback: what an operator runs on a release that is
// already out. A fault here sends a halted release on to every PC, breaks the
// signature of a live release (every signed client then refuses it), touches
// files that clients are downloading, or "rolls back" to bytes that are not
// the earlier release's. Results are read back with the client's own parser
// and trust rules.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/publisher/publisher_test_support.h"
#include "publisher/publisher.h"
#include "publisher/release_keys.h"
#include "publisher/release_tree.h"
#include "update/manifest/package_manifest.h"
#include "update/proof/expiry_time.h"
#include "update/proof/release_signature.h"
#include "update/proof/sha256_digest.h"

namespace {

const char kBase[] = "http://127.0.0.1:8080/zenquilo";

class Work : public PublisherScratch {
 public:
  Work() {
    Run({"keygen", "--out", Text("a")});
    Run({"keygen", "--out", Text("b")});
  }
  bool Exists(const std::string& relative) const { return fs::exists(path() / PathFromUtf8(relative)); }
  PackageManifest Manifest(const std::string& out) const {
    PackageManifest manifest;
    EXPECT_EQ(PackageManifestParser::Parse(Read(out + "/package.json"), manifest), 0) << out;
    return manifest;
  }
  bool SignedBy(const std::string& out, const std::string& key) const {
    ReleasePublicKey publicKey;
    std::string line = Read(key + ".pub");
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return ParsePublicKey(line, publicKey) &&
           VerifyReleaseSignature(Read(out + "/package.json"), Read(out + "/package.json.sig"), publicKey);
  }

  // The time work/<out>'s manifest was issued, or -1 when it names none.
  std::int64_t Issued(const std::string& out) const {
    std::int64_t seconds = -1;
    EXPECT_TRUE(ParseExpiryTime(Manifest(out).issued(), seconds)) << out << ": " << Manifest(out).issued();
    return seconds;
  }

  // work/<out> copied to work/<copy>, each edit made once in its
  // package.json, and signed anew with work/<key>.key when key is given.
  void Edited(const std::string& out, const std::string& copy,
              const std::vector<std::pair<std::string, std::string>>& edits, const std::string& key = "") const {
    fs::copy(path() / out, path() / copy, fs::copy_options::recursive);
    std::string text = Read(copy + "/package.json");
    for (const auto& edit : edits) text.replace(text.find(edit.first), edit.first.size(), edit.second);
    Write(copy + "/package.json", text);
    if (key.empty()) return;
    SigningKey signer;
    std::string problem, signature;
    ASSERT_TRUE(LoadSigningKey(path() / (key + ".key"), signer, problem) && SignManifest(text, signer, signature));
    Write(copy + "/package.json.sig", signature);
  }
  // Nothing in work/ named as a rollback's scratch directories are.
  bool NoScratchLeft() const {
    for (const fs::directory_entry& item : fs::directory_iterator(path())) {
      if (item.path().filename().string().find(".rollback") != std::string::npos) return false;
    }
    return true;
  }

  Outcome Run(const std::vector<std::string>& arguments) const { return RunZqPublish(arguments); }
  // work/<release> published as work/<out>.
  Outcome Publish(const std::string& release, const std::string& version, const std::string& out,
                  std::vector<std::string> extra = {}) const {
    std::vector<std::string> arguments = {"--release-dir", Text(release), "--version", version, "--date",
                                          "20261207",      "--base-url",  kBase,       "--out", Text(out)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return Run(arguments);
  }
};

// A manifest's text without its "issued" line, the one line every signing changes.
std::string WithoutIssued(std::string text) {
  const size_t key = text.find("\n  \"issued\": ");
  if (key != std::string::npos) text.erase(key, text.find('\n', key + 1) - key);
  return text;
}

const PackageFileEntry* EntryOf(const PackageManifest& manifest, const std::string& name) {
  for (const PackageFileEntry& entry : manifest.file_list()) {
    if (entry.name() == name) return &entry;
  }
  return nullptr;
}

// Widening and halting a signed release in place: only the share changes,
// the signature is made anew and verifies, the files stay as they were, and
// 100 gives back the manifest of a release for everybody. Each text is issued
// strictly later than the one it replaces, even within one second: a client
// that saw the halt then refuses the text signed before it.
TEST(PublisherRollout, ChangesOnlyTheShareAndSignsAgain) {
  Work work;
  work.Write("r/a.dll", "release bytes");
  ASSERT_EQ(work.Publish("r", "2", "out", {"--sign-key", work.Text("a.key"), "--rollout", "10"}).code, 0);
  ASSERT_EQ(work.Publish("r", "2", "plain", {"--sign-key", work.Text("a.key")}).code, 0);
  EXPECT_EQ(work.Manifest("out").rollout(), 10);
  EXPECT_EQ(work.Manifest("plain").rollout(), 100);
  const std::string served = work.Read("out/files/1/a.dll");
  std::int64_t issued = work.Issued("out");

  Outcome widened =
      work.Run({"rollout", "--out", work.Text("out"), "--percent", "50", "--sign-key", work.Text("a.key")});
  ASSERT_EQ(widened.code, 0) << widened.err;
  EXPECT_NE(widened.out.find("now goes to 50% of PCs (was 10%)"), std::string::npos) << widened.out;
  EXPECT_EQ(work.Manifest("out").rollout(), 50);
  EXPECT_TRUE(work.SignedBy("out", "a"));
  EXPECT_EQ(work.Read("out/files/1/a.dll"), served);
  EXPECT_GT(work.Issued("out"), issued);
  issued = work.Issued("out");

  ASSERT_EQ(work.Run({"rollout", "--out", work.Text("out"), "--percent", "0", "--sign-key", work.Text("a.key")}).code,
            0);
  EXPECT_EQ(work.Manifest("out").rollout(), 0);
  EXPECT_GT(work.Issued("out"), issued) << "a halt issued in the same second as the text it halts";
  issued = work.Issued("out");
  ASSERT_EQ(work.Run({"rollout", "--out", work.Text("out"), "--percent", "100", "--sign-key", work.Text("a.key")}).code,
            0);
  EXPECT_GT(work.Issued("out"), issued);
  EXPECT_EQ(WithoutIssued(work.Read("out/package.json")), WithoutIssued(work.Read("plain/package.json")));
  EXPECT_TRUE(work.SignedBy("out", "a"));
  EXPECT_FALSE(work.Exists("out/package.json.next"));
}

// Each refusal leaves the live release exactly as it was.
TEST(PublisherRollout, RefusesWhatWouldBreakTheLiveRelease) {
  Work work;
  work.Write("r/a.dll", "release bytes");
  ASSERT_EQ(work.Publish("r", "2", "signed", {"--sign-key", work.Text("a.key"), "--rollout", "10"}).code, 0);
  ASSERT_EQ(work.Publish("r", "2", "unsigned", {"--rollout", "10"}).code, 0);
  work.Write("edited/package.json", work.Read("unsigned/package.json") + "\n");
  const struct {
    std::vector<std::string> arguments;
    int code;
    const char* says;
  } cases[] = {
      {{"--out", work.Text("signed"), "--percent", "50"}, 2, "give --sign-key"},
      {{"--out", work.Text("signed"), "--percent", "50", "--sign-key", work.Text("b.key")}, 3, "does not verify"},
      {{"--out", work.Text("unsigned"), "--percent", "50", "--sign-key", work.Text("a.key")}, 2, "not signed"},
      {{"--out", work.Text("edited"), "--percent", "50"}, 3, "not as zq_publish wrote it"},
      {{"--out", work.Text("unsigned"), "--percent", "101"}, 2, "from 0 to 100"},
      {{"--out", work.Text("unsigned"), "--percent", "-1"}, 2, "from 0 to 100"},
      {{"--out", work.Text("missing"), "--percent", "5"}, 4, "cannot read"},
  };
  for (const auto& c : cases) {
    const std::string signedBefore = work.Read("signed/package.json");
    const std::string unsignedBefore = work.Read("unsigned/package.json");
    std::vector<std::string> arguments = {"rollout"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const Outcome outcome = work.Run(arguments);
    EXPECT_EQ(outcome.code, c.code) << c.says;
    EXPECT_NE(outcome.err.find(c.says), std::string::npos) << outcome.err;
    EXPECT_EQ(work.Read("signed/package.json"), signedBefore) << c.says;
    EXPECT_EQ(work.Read("unsigned/package.json"), unsignedBefore) << c.says;
  }
  EXPECT_TRUE(work.SignedBy("signed", "a"));
  EXPECT_EQ(work.Publish("r", "3", "bad", {"--rollout", "101"}).code, 2);
}

// 1 -> 2 (a changed, b.dll the same, new.txt added, old.txt removed) -> the
// rollback 3: every file of 1 with the bytes of 1, a new ver wherever 2 had
// other bytes or no file, a "delete" entry for what 2 added.
TEST(PublisherRollback, PublishesTheEarlierFilesAsANewRelease) {
  Work work;
  work.Write("r1/a.txt", "a, release 1");
  work.Write("r1/bin/b.dll", "b, the same in both");
  work.Write("r1/old.txt", "only in release 1");
  work.Write("r2/a.txt", "a, release 2 (bad)");
  work.Write("r2/bin/b.dll", "b, the same in both");
  work.Write("r2/new.txt", "added by release 2");
  ASSERT_EQ(work.Publish("r1", "1", "out1", {"--reg", "bin/*.dll"}).code, 0);
  ASSERT_EQ(work.Publish("r2", "2", "out2", {"--reg", "bin/*.dll", "--previous", work.Text("out1/package.json")}).code,
            0);

  const Outcome rolled =
      work.Run({"rollback", "--to", work.Text("out1"), "--version", "3", "--out", work.Text("out3") + "/", "--previous",
                work.Text("out2/package.json"), "--date", "20261208"});
  ASSERT_EQ(rolled.code, 0) << rolled.err;
  const PackageManifest three = work.Manifest("out3");
  EXPECT_EQ(three.version(), "3");
  ASSERT_EQ(three.file_list().size(), 4u);
  const struct {
    const char* name;
    const char* path;
    const char* ver;
    const char* act;
    const char* served;  // the bytes under its URL; nullptr: an empty "delete" file
  } expected[] = {
      {"a.txt", "a.txt", "3", "", "a, release 1"},
      {"b.dll", "bin/b.dll", "1", "reg", "b, the same in both"},
      {"old.txt", "old.txt", "3", "", "only in release 1"},
      {"new.txt", "new.txt", "2", "delete", nullptr},
  };
  for (const auto& e : expected) {
    const PackageFileEntry* entry = EntryOf(three, e.name);
    ASSERT_NE(entry, nullptr) << e.name;
    EXPECT_EQ(entry->ver(), e.ver) << e.name;
    EXPECT_EQ(entry->act(), e.act) << e.name;
    const std::string path = std::string("out3/files/") + e.ver + "/" + e.path;
    EXPECT_EQ(entry->remote_url(), std::string(kBase) + path.substr(4)) << "the current release's base URL";
    EXPECT_EQ(work.Read(path), e.served ? e.served : "") << e.name;
    if (e.served) EXPECT_EQ(entry->hash(), test_files::Md5Of(e.served)) << e.name;
  }
  std::error_code error;
  for (const fs::directory_entry& item : fs::directory_iterator(PathFromUtf8(work.Text("")), error)) {
    EXPECT_EQ(item.path().filename().string().find(".rollback"), std::string::npos) << "the rebuilt tree is removed";
  }
}

// A rollback must be the earlier release's bytes or nothing.
TEST(PublisherRollback, RefusesACopyThatIsNotTheEarlierRelease) {
  Work work;
  work.Write("r1/a.txt", "a, release 1");
  work.Write("r2/a.txt", "a, release 2");
  ASSERT_EQ(work.Publish("r1", "1", "out1").code, 0);
  ASSERT_EQ(work.Publish("r2", "2", "out2", {"--previous", work.Text("out1/package.json")}).code, 0);
  const auto rollback = [&](const std::string& version) {
    return work.Run({"rollback", "--to", work.Text("out1"), "--version", version, "--out", work.Text("out3"),
                     "--previous", work.Text("out2/package.json")});
  };
  EXPECT_EQ(rollback("2").code, 3) << "not newer than the current release";
  work.Write("out1/files/1/a.txt", "a, changed on the server");
  const Outcome tampered = rollback("3");
  EXPECT_EQ(tampered.code, 3);
  EXPECT_NE(tampered.err.find("differs from its manifest entry"), std::string::npos) << tampered.err;
  EXPECT_FALSE(work.Exists("out3"));
  EXPECT_EQ(work.Run({"rollback", "--to", work.Text("out1"), "--version", "3", "--out", work.Text("out3")}).code, 2)
      << "--previous is required";
}

// A signed rollback signs what --to holds only where the same key signed it
// and SHA-256 proves each file: otherwise whoever can write to the published
// tree changes a DLL and its entry together, and the rollback signs it for
// regsvr32 on every PC. Nor may a rollback delete the program. Each refusal
// writes nothing, scratch directories included.
TEST(PublisherRollback, SignsOnlyWhatTheKeySignedBefore) {
  Work work;
  const std::string good = "com server, release 1", evil = "evil server";
  work.Write("r1/com.dll", good);
  work.Write("tree-r2/com.dll", "com server, release 2");
  work.Write("tree-r2p/ZenquiloStudent.exe", "MZ program");
  work.Write("setup.exe", "MZ installer");
  const std::vector<std::string> a = {"--sign-key", work.Text("a.key")};
  ASSERT_EQ(work.Publish("r1", "1", "good", {"--reg", "*.dll", "--installer", work.Text("setup.exe"), a[0], a[1]}).code,
            0);
  ASSERT_EQ(work.Publish("r1", "1", "unsigned", {"--reg", "*.dll"}).code, 0);
  for (const std::string current : {"r2", "r2p"}) {
    const std::vector<std::string> continued = {"--previous", work.Text("good/package.json"), a[0], a[1]};
    ASSERT_EQ(work.Publish("tree-" + current, "2", current, continued).code, 0);
  }
  work.Edited("good", "edited",
              {{test_files::Md5Of(good), test_files::Md5Of(evil)}, {Sha256HexOfBytes(good), Sha256HexOfBytes(evil)}});
  work.Write("edited/files/1/com.dll", evil);
  work.Edited("good", "md5-only", {{", \"sha256\": \"" + Sha256HexOfBytes(good) + "\"", ""}}, "a");

  const struct {
    const char* to;
    const char* current;
    const char* says;
  } refused[] = {
      {"unsigned", "r2", "not signed"},
      {"edited", "r2", "does not verify"},
      {"md5-only", "r2", "MD5 alone"},
      {"good", "r2p", "launcher and updater"},
  };
  const auto rollback = [&](const std::string& to, const std::string& current) {
    return work.Run({"rollback", "--to", work.Text(to), "--version", "3", "--out", work.Text("out3"), "--previous",
                     work.Text(current + "/package.json"), a[0], a[1]});
  };
  for (const auto& r : refused) {
    const Outcome outcome = rollback(r.to, r.current);
    EXPECT_EQ(outcome.code, 3) << r.to;
    EXPECT_NE(outcome.err.find(r.says), std::string::npos) << r.to << ": " << outcome.err;
    EXPECT_FALSE(work.Exists("out3")) << r.to;
    EXPECT_TRUE(work.NoScratchLeft()) << r.to;
  }
  const Outcome rolled = rollback("good", "r2");
  ASSERT_EQ(rolled.code, 0) << rolled.err;
  EXPECT_TRUE(work.SignedBy("out3", "a"));
  const PackageManifest three = work.Manifest("out3");
  const PackageFileEntry* com = EntryOf(three, "com.dll");
  ASSERT_NE(com, nullptr);
  EXPECT_EQ(com->act() + " " + work.Read("out3/files/" + com->ver() + "/com.dll"), "reg " + good);
  EXPECT_TRUE(work.NoScratchLeft());
}

}  // namespace
