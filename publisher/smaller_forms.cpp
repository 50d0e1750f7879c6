#include "publisher/smaller_forms.h"

#include <set>
#include <system_error>

#include "publisher/cp936_text.h"
#include "publisher/form_plan.h"
#include "publisher/patch_make.h"
#include "publisher/release_tree.h"
#include "update/delta/patch_apply.h"
#include "update/delta/zstd_decode.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"

namespace {

// Below the partial release, removed before it becomes the release.
constexpr char kScratchName[] = "smaller-forms.check";
// Larger files are not read whole into memory, and no delta could serve them.
constexpr long long kLargestWithForms = 1LL << kMaxWindowLog;
// zstd's smallest window; the client's parser ignores a delta naming less.
constexpr int kSmallestWindowLog = 10;

// The client's decoders take narrow names: code page 936 on Windows.
bool NarrowName(const fs::path& path, std::string& narrow) {
#ifdef _WIN32
  std::string utf8;
  return Utf8FromPath(path, utf8) && Utf8ToCp936(utf8, narrow);
#else
  narrow = path.native();
  return true;
#endif
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// How the client turns a form back into its file.
enum class Decoder { kCopy, kDelta, kPatch };

Decoder DecoderOf(const FileDelta& delta) {
  return delta.format == DeltaFormat::kZstd ? Decoder::kDelta : Decoder::kPatch;
}

const char* FormName(const FileDelta& delta) {
  switch (delta.format) {
    case DeltaFormat::kZstd: return "delta";
    case DeltaFormat::kPatch: return "patch";
    case DeltaFormat::kLabelledPatch: return "labelled patch";
  }
  return "delta";
}

// An entry's delta forms as they are made, each under the key of its format.
struct DeltaLists {
  std::vector<FileDelta> deltas, patches, labelledPatches;

  std::vector<FileDelta>& For(DeltaFormat format) {
    switch (format) {
      case DeltaFormat::kZstd: return deltas;
      case DeltaFormat::kPatch: return patches;
      case DeltaFormat::kLabelledPatch: return labelledPatches;
    }
    return deltas;
  }

  void SetOn(PackageFileEntry& entry) const {
    entry.set_deltas(deltas);
    entry.set_patches(patches);
    entry.set_labelled_patches(labelledPatches);
  }
};

std::string Md5OfBytes(const std::string& bytes) {
  CMD5Checksum md5;
  md5.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return md5.Final();
}

class FormWork {
 public:
  FormWork(const fs::path& releaseDir, const std::vector<EarlierRelease>& earlier, const FormSettings& settings,
           const FormEncoder& encoder, const fs::path& partial, FormReport& report, std::string& message)
      : releaseDir_(releaseDir),
        earlier_(earlier),
        settings_(settings),
        encoder_(encoder),
        partial_(partial),
        scratch_(partial / kScratchName),
        report_(report),
        message_(message) {}

  int Prepare() {
    std::error_code error;
    fs::create_directories(scratch_, error);
    if (error || !NarrowName(scratch_ / "frame", frame_) || !NarrowName(scratch_ / "base", base_) ||
        !NarrowName(scratch_ / "decoded", decoded_)) {
      message_ = "cannot prepare \"" + Describe(scratch_) +
                 "\" for proving the smaller forms (on Windows its name must fit code page 936); choose another "
                 "--out or publish with --no-smaller-forms";
      return 4;
    }
    return 0;
  }

  void Finish() {
    std::error_code error;
    fs::remove_all(scratch_, error);
  }

  int Carry(const PublishedFile& file, const std::vector<CarriedForm>& forms, PackageFileEntry& entry,
            std::vector<std::string>& notes) {
    DeltaLists lists;
    for (const CarriedForm& form : forms) {
      const std::string& sha256 = form.isDelta ? form.delta.sha256 : form.copy.sha256;
      const long long size = form.isDelta ? form.delta.size : form.copy.size;
      std::string bytes;
      if (!ReadWholeFile(earlier_[0].directory / PathFromUtf8(form.servedPath), bytes) ||
          static_cast<long long>(bytes.size()) != size || Sha256HexOfBytes(bytes) != sha256) {
        report_.warnings.push_back("release " + earlier_[0].manifest.version() + ": " + Quoted(form.servedPath) +
                                   " is missing or differs from its manifest; not carried over");
        continue;
      }
      if (!WriteWholeFile(scratch_ / "frame", bytes)) return CannotWrite(scratch_ / "frame");
      int result = 0;
      std::string proof = " (carried over)";
      if (!form.isDelta) {
        result = Prove(file, entry, "compressed copy", Decoder::kCopy, kMaxWindowLog);
      } else if (form.hasBase && StageBase(form.base, form.delta.from_hash, form.delta.from_sha256)) {
        result = Prove(file, entry, std::string(FormName(form.delta)) + " from " + Label(form.base),
                       DecoderOf(form.delta), form.delta.window_log);
      } else {
        // The release that holds its base was not given (or no longer holds
        // it): the proof was made when the delta was published, and the
        // SHA-256 its manifest names ties these bytes to that proof.
        proof = " (carried over; its base not at hand, checked by its SHA-256)";
      }
      if (result != 0) return result;
      if (!Place(form.servedPath)) return CannotWrite(partial_ / PathFromUtf8(form.servedPath));
      if (form.isDelta) {
        // A patch is listed by its own version, as a made one is, whatever
        // key the earlier release put it under.
        FileDelta listed = form.delta;
        if (listed.format != DeltaFormat::kZstd) listed.format = PatchFormatOf(bytes);
        lists.For(listed.format).push_back(listed);
        CountDelta(listed);
        notes.push_back(std::string(FormName(listed)) + " from MD5 " + listed.from_hash + ": " + std::to_string(size) +
                        " bytes" + proof);
      } else {
        entry.set_compressed(form.copy);
        Count(true, size, entry.size());
        notes.push_back("compressed copy: " + std::to_string(size) + " of " + std::to_string(entry.size()) + " bytes" +
                        proof);
      }
    }
    lists.SetOn(entry);
    return 0;
  }

  int Make(const PublishedFile& file, const FileFormPlan& plan, PackageFileEntry& entry,
           std::vector<std::string>& notes) {
    if (entry.size() > kLargestWithForms) {
      notes.push_back("no smaller forms: the file is larger than a client's zstd window (128 MiB)");
      return 0;
    }
    std::string target;
    if (!ReadWholeFile(releaseDir_ / PathFromUtf8(file.path), target)) {
      message_ = "cannot read " + Quoted(file.path);
      return 4;
    }
    if (Sha256HexOfBytes(target) != file.sha256) {
      message_ = Quoted(file.path) + " changed while it was being published; publish again";
      return 4;
    }
    std::string frame;
    int windowLog = 0;
    if (!encoder_.compress(target, settings_.level, frame, windowLog)) {
      message_ = "zstd could not compress " + Quoted(file.path);
      return 4;
    }
    if (!WriteWholeFile(scratch_ / "frame", frame)) return CannotWrite(scratch_ / "frame");
    int result = Prove(file, entry, "compressed copy", Decoder::kCopy, kMaxWindowLog);
    if (result != 0) return result;
    // What a delta must beat: the cheapest road a client has without it.
    long long reference = static_cast<long long>(target.size());
    if (frame.size() < target.size()) {
      const std::string servedPath = CompressedServedPath(file.ver, file.path);
      if (!Place(servedPath)) return CannotWrite(partial_ / PathFromUtf8(servedPath));
      CompressedCopy copy;
      copy.url = ServedUrl(settings_.baseUrl, servedPath);
      copy.size = static_cast<long long>(frame.size());
      copy.sha256 = Sha256HexOfBytes(frame);
      entry.set_compressed(copy);
      Count(true, copy.size, reference);
      notes.push_back("compressed copy: " + std::to_string(copy.size) + " of " + std::to_string(reference) + " bytes");
      reference = copy.size;
    } else {
      notes.push_back("no compressed copy: " + std::to_string(frame.size()) + " bytes would not be smaller");
    }

    DeltaLists lists;
    std::set<std::string> madeFrom;
    for (const DeltaBase& base : plan.bases) {
      result = MakeOneDelta(file, entry, target, base, reference, madeFrom, lists, notes);
      if (result != 0) return result;
    }
    lists.SetOn(entry);
    return 0;
  }

 private:
  int MakeOneDelta(const PublishedFile& file, const PackageFileEntry& entry, const std::string& target,
                   const DeltaBase& base, long long reference, std::set<std::string>& madeFrom, DeltaLists& lists,
                   std::vector<std::string>& notes) {
    const fs::path basePath = earlier_[base.release].directory / PathFromUtf8(base.servedPath);
    std::error_code error;
    const long long baseSize = static_cast<long long>(fs::file_size(basePath, error));
    if (!error && DeltaWindowLog(baseSize, static_cast<long long>(target.size())) > kMaxWindowLog) {
      notes.push_back("no delta from " + Label(base) +
                      ": the pair needs a zstd window larger than a client allows (a file over 64 MiB)");
      return 0;
    }
    std::string baseBytes;
    std::string baseSha256;
    if (error || !ReadBase(base, baseBytes, baseSha256)) return 0;
    // Two releases from before the digests can hold one content under one MD5.
    if (!madeFrom.insert(baseSha256).second) return 0;
    std::string frame, patch;
    int windowLog = 0;
    if (!encoder_.delta(baseBytes, target, settings_.level, frame, windowLog)) {
      message_ = "zstd could not make the delta of " + Quoted(file.path) + " from " + Label(base);
      return 4;
    }
    if (!encoder_.patch(baseBytes, target, settings_.level, patch)) {
      message_ = "could not make the patch of " + Quoted(file.path) + " from " + Label(base);
      return 4;
    }
    if (!WriteWholeFile(scratch_ / "base", baseBytes)) return CannotWrite(scratch_ / "base");
    std::string().swap(baseBytes);  // the decoders read their own copy of the base
    if (windowLog < kSmallestWindowLog || windowLog > kMaxWindowLog) {
      message_ = Quoted(file.path) + ": its delta from " + Label(base) + " names a zstd window no client decodes";
      return 3;
    }
    FileDelta made;
    made.from_hash = base.hash;
    made.from_sha256 = baseSha256;
    made.window_log = windowLog;
    const size_t zstdKept = lists.deltas.size();
    int result = Offer(file, entry, frame, Label(base), reference, -1, made, lists.deltas, notes);
    if (result != 0) return result;
    // Older clients keep their zstd delta; the patch must beat it to be worth
    // a line. A patch they cannot apply goes under a key they never read.
    const long long rival = lists.deltas.size() > zstdKept ? lists.deltas.back().size : -1;
    made.format = PatchFormatOf(patch);
    made.window_log = 0;
    return Offer(file, entry, patch, Label(base), reference, rival, made, lists.For(made.format), notes);
  }

  // Proves the form in bytes (made: all but where it is and its own digests)
  // and lists it in kept when it is at most 90% of reference and smaller than
  // rival (none when -1).
  int Offer(const PublishedFile& file, const PackageFileEntry& entry, const std::string& bytes,
            const std::string& label, long long reference, long long rival, FileDelta made,
            std::vector<FileDelta>& kept, std::vector<std::string>& notes) {
    if (!WriteWholeFile(scratch_ / "frame", bytes)) return CannotWrite(scratch_ / "frame");
    const std::string what = std::string(FormName(made)) + " from " + label;
    const int result = Prove(file, entry, what, DecoderOf(made), made.window_log);
    if (result != 0) return result;
    const long long size = static_cast<long long>(bytes.size());
    if (size * 10 > reference * 9) {
      notes.push_back("no " + what + ": " + std::to_string(size) + " bytes, not clearly smaller than " +
                      std::to_string(reference));
      return 0;
    }
    if (rival >= 0 && size >= rival) {
      notes.push_back("no " + what + ": " + std::to_string(size) + " bytes, no smaller than its zstd delta's " +
                      std::to_string(rival));
      return 0;
    }
    const std::string servedPath = made.format == DeltaFormat::kZstd
                                       ? DeltaServedPath(file.ver, file.path, made.from_hash)
                                       : PatchServedPath(file.ver, file.path, made.from_hash);
    if (!Place(servedPath)) return CannotWrite(partial_ / PathFromUtf8(servedPath));
    made.url = ServedUrl(settings_.baseUrl, servedPath);
    made.size = size;
    made.sha256 = Sha256HexOfBytes(bytes);
    kept.push_back(made);
    CountDelta(made);
    notes.push_back(what + ": " + std::to_string(size) + " bytes");
    return 0;
  }

  // The base's bytes, proved against the digests its manifest names; a
  // warning and false when they cannot be read or differ.
  bool ReadBase(const DeltaBase& base, std::string& bytes, std::string& sha256) {
    const EarlierRelease& release = earlier_[base.release];
    if (!ReadWholeFile(release.directory / PathFromUtf8(base.servedPath), bytes)) {
      report_.warnings.push_back("release " + release.manifest.version() + ": cannot read " + Quoted(base.servedPath) +
                                 "; no delta from it");
      return false;
    }
    sha256 = Sha256HexOfBytes(bytes);
    if (Md5OfBytes(bytes) != base.hash || (!base.sha256.empty() && sha256 != base.sha256)) {
      report_.warnings.push_back("release " + release.manifest.version() + ": " + Quoted(base.servedPath) +
                                 " differs from its manifest's digests; no delta from it");
      return false;
    }
    return true;
  }

  // A carried delta's base written where the decoder reads it, when it is
  // there and is the content the delta names.
  bool StageBase(const DeltaBase& base, const std::string& hash, const std::string& sha256) {
    std::string bytes, actual;
    if (!ReadBase(base, bytes, actual) || base.hash != hash || actual != sha256) return false;
    return WriteWholeFile(scratch_ / "base", bytes);
  }

  // Decodes the frame staged in the scratch directory the way a client does
  // and compares what comes out with the file.
  int Prove(const PublishedFile& file, const PackageFileEntry& entry, const std::string& what, Decoder decoder,
            int windowLog) {
    DecodeResult decoded = DecodeResult::kCorrupt;
    switch (decoder) {
      case Decoder::kCopy: decoded = DecompressFile(frame_, decoded_, entry.size()); break;
      case Decoder::kDelta: decoded = ApplyDeltaFile(base_, frame_, decoded_, entry.size(), windowLog); break;
      case Decoder::kPatch: decoded = ApplyPatchFile(base_, frame_, decoded_, entry.size()); break;
    }
    if (decoded == DecodeResult::kCannotRead || decoded == DecodeResult::kCannotWrite) {
      message_ = "cannot decode the " + what + " of " + Quoted(file.path) + " in \"" + Describe(scratch_) +
                 "\": " + DecodeResultText(decoded);
      return 4;
    }
    FileDigests digests;
    const bool same = decoded == DecodeResult::kOk && DigestFile(scratch_ / "decoded", digests) &&
                      digests.md5 == file.hash && digests.sha256 == file.sha256;
    std::error_code error;
    fs::remove(scratch_ / "decoded", error);
    if (!same) {
      message_ = Quoted(file.path) + ": its " + what + " does not give back the file (" +
                 (decoded == DecodeResult::kOk ? std::string("other bytes") : DecodeResultText(decoded)) + ")";
      return 3;
    }
    return 0;
  }

  // The staged frame moved to its place in the release.
  bool Place(const std::string& servedPath) {
    const fs::path target = partial_ / PathFromUtf8(servedPath);
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    fs::rename(scratch_ / "frame", target, error);
    return !error;
  }

  int CannotWrite(const fs::path& path) {
    message_ = "cannot write \"" + Describe(path) + "\"";
    return 4;
  }

  void Count(bool copy, long long size, long long fileSize) {
    if (copy) {
      ++report_.copies;
      report_.copyBytes += size;
      report_.copiedBytes += fileSize;
    } else {
      ++report_.deltas;
      report_.deltaBytes += size;
    }
  }

  void CountDelta(const FileDelta& delta) {
    if (delta.format == DeltaFormat::kZstd) return Count(false, delta.size, 0);
    ++report_.patches;
    report_.patchBytes += delta.size;
  }

  std::string Label(const DeltaBase& base) const {
    return "release " + earlier_[base.release].manifest.version() + " (MD5 " + base.hash + ")";
  }

  static std::string Describe(const fs::path& path) {
    std::string text;
    return Utf8FromPath(path, text) ? text : std::string("(a name that is not valid Unicode)");
  }

  const fs::path& releaseDir_;
  const std::vector<EarlierRelease>& earlier_;
  const FormSettings& settings_;
  const FormEncoder& encoder_;
  const fs::path& partial_;
  const fs::path scratch_;
  FormReport& report_;
  std::string& message_;
  std::string frame_, base_, decoded_;  // the scratch files' narrow names
};

std::string Counted(long long count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

int MakeSmallerForms(const fs::path& releaseDir, const std::vector<EarlierRelease>& earlier,
                     const FormSettings& settings, const FormEncoder& encoder, const fs::path& partial,
                     ReleasePlan& plan, FormReport& report, std::string& message) {
  report = FormReport();
  report.notes.resize(plan.files.size());
  std::vector<PackageManifest> manifests;
  for (const EarlierRelease& release : earlier) manifests.push_back(release.manifest);
  const std::vector<FileFormPlan> forms =
      PlanForms(plan, manifests, settings.deltaReleases, settings.baseUrl, report.warnings);

  FormWork work(releaseDir, earlier, settings, encoder, partial, report, message);
  int result = work.Prepare();
  std::vector<PackageFileEntry> entries = plan.manifest.file_list();
  for (size_t i = 0; result == 0 && i < plan.files.size(); ++i) {
    if (!forms[i].carried.empty()) result = work.Carry(plan.files[i], forms[i].carried, entries[i], report.notes[i]);
    if (result == 0 && forms[i].makeForms) {
      result = work.Make(plan.files[i], forms[i], entries[i], report.notes[i]);
    }
  }
  work.Finish();
  if (result == 0) plan.manifest.set_file_list(entries);
  return result;
}

std::string FormTotals(const FormReport& report) {
  return "smaller forms: " + Counted(report.copies, "compressed copy", "compressed copies") + " (" +
         std::to_string(report.copyBytes) + " of " + std::to_string(report.copiedBytes) + " bytes), " +
         Counted(report.deltas, "delta", "deltas") + " (" + std::to_string(report.deltaBytes) + " bytes), " +
         Counted(report.patches, "patch", "patches") + " (" + std::to_string(report.patchBytes) + " bytes)";
}

bool MakeServedPatch(const std::string& base, const std::string& target, int level, std::string& patch) {
  return MakePatch(base, target, level, patch);
}
