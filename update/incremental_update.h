#pragma once

// The incremental update, file by file: the entries of the remote manifest
// that are newer than the installed ones are downloaded into a temp directory
// and proved by their MD5 digests. Nothing is installed here; the staged files
// wait for the next plain start. Runs on the update worker thread; reports only
// through the reporter's callables, which the Win32 layer turns into
// SendMessageW calls. Paths are narrow text (code page 936 on Windows).

#include <functional>
#include <string>
#include <vector>

#include "update/manifest/package_manifest.h"
#include "update/proof/release_trust.h"
#include "update/transfer/resumable_download.h"

// Where the run reports to, in call order. Every callable must be set.
struct IncrementalUpdateReporter {
  // Before each file that is fetched: the bar's range (0..range, all remote
  // entries) and its position (files fetched so far, this one included).
  std::function<void(int range, int position)> progress;
  // Every newer file is staged and proved, or there was nothing to fetch.
  std::function<void()> ready;
  // The run stopped: an unsafe path in the list, or a file that was not proved.
  std::function<void()> failed;
};

// The file operations that need the platform's own calls for narrow paths.
struct StagingFileOps {
  // Creates every directory that path names up to its last separator; 0 on success.
  int (*makeDirectories)(const std::string& path);
  // Moves from onto to, replacing an existing file; true when to now holds it.
  bool (*replaceFile)(const std::string& from, const std::string& to);
  // Deletes path if it is there.
  void (*removeFile)(const std::string& path);
};

// The platform's own operations (wide Win32 calls on Windows, POSIX elsewhere).
const StagingFileOps& NativeStagingFileOps();

// What every file of a run must prove, how hard each download tries, and how
// many files may be on their way at once. Made with the first two said:
// UpdateRules{trust, retry}; one file at a time unless set.
struct UpdateRules {
  ReleaseTrust trust;
  RetryPolicy retry;
  int parallelDownloads = 1;
};

// The most files on their way at once, whatever is asked.
inline constexpr int kMaxParallelDownloads = 16;
inline constexpr int kDefaultParallelDownloads = 4;

// The settings file's text for the number of files at once: a whole number
// from 1 to kMaxParallelDownloads, blanks around it allowed; anything else
// gives kDefaultParallelDownloads. 1 is one file after another.
int ParallelDownloadsFromSetting(const std::string& text);

// True when every entry's local_path + name stays below the directory it is
// joined to (IsSafeRelativePath), skipped entries included.
bool AllEntriesStayInside(const PackageManifest& remote);

// True when no two of entries name one staged file as Windows resolves
// names (case twins, "a/" + "b" against "" + "a/b"): two downloads into one
// file at once would each prove their own bytes and leave a mix on disk.
bool EntriesNameDistinctFiles(const std::vector<PackageFileEntry>& entries);

// The remote entries that have a file (EntryHasAFile) and whose ver counts as
// more than the ver of the first local entry of exactly the same name (0 when
// there is none), in list order. Linear in the two lists' lengths.
std::vector<PackageFileEntry> EntriesToFetch(const PackageManifest& remote, const PackageManifest& local);

// tempDirectory + local_path + name, nothing inserted between the pieces.
std::string StagedPath(const std::string& tempDirectory, const PackageFileEntry& entry);

// Runs the update into tempDirectory (ending in a separator), up to
// rules.parallelDownloads files at once over shared connections. Each file comes
// by the cheapest road (update/delta/fetch_roads.h): a delta from the file
// installed under installDirectory (ending in a separator), the compressed
// copy, or the file itself. 1 when every
// newer entry was fetched and proved, nothing to fetch included; reporter.ready
// has then been called. -1, after reporter.failed, when the list holds an
// unsafe path (nothing is requested then), or at the first entry that is not
// proved after the retries the rules allow: one that cannot be proved (an
// empty manifest hash beside a remote_url; with a release key, no SHA-256), a digest that differs
// (case counts), or a file that could not be moved into place. Later entries
// are not fetched, those on their way are ended and their partial files
// removed; a file staged earlier under the same path is left as it was. Two
// entries to fetch that name one staged file fail the run before any request
// too. The
// bar's position counts files fetched: one at a time, it moves as each file
// starts; several at once, as each is staged.
int RunIncrementalUpdateIn(const PackageManifest& remote, const PackageManifest& local,
                           const std::string& tempDirectory, const std::string& installDirectory,
                           const IncrementalUpdateReporter& reporter, const UpdateRules& rules,
                           const StagingFileOps& ops = NativeStagingFileOps());
