#pragma once
// What the stages of an update run share: the run's state, and one record's names and paths.
// Private to the update run's sources.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/fetch_ahead.h"
#include "core/options.h"
#include "core/update_run.h"
#include "core/utility.h"
#include "net/source.h"
#include "platform/files.h"
#include "support/stream.h"
#include "support/translation.h"
#include "workers/chunk_threads.h"

namespace kova {

// Gives a new copy the mode of the file it replaces (none: `replaced` empty), and the run bit to
// a program.
void GiveMode(const std::string& fresh, const std::string& replaced, bool executable);
// A document's addresses: the first, and its mirrors that are web addresses, in their order.
std::vector<std::string> WebAddresses(const std::string& primary,
                                      const std::vector<std::string>& mirrors);

// The run's texts that its stages share.
inline const char* const kCancelledByUser = TrNoop("Check cancelled by user");
inline const char* const kCancelledByError = TrNoop("Check cancelled due to an error");

struct TUpdateRun::TRunState {
  bool FromTimer = false;
  std::string ProgramPath;
  TMemoryStream Stream;
  TPatchMap Map;
  TDateTime ListDate = 0;
  bool FreshList = false;
  std::string LastOptionsUrl;
  // Where the list's archives and chunks are published: beside the list, on each of its mirrors.
  std::shared_ptr<TSource> Published;
  // Each document's addresses with what this run learnt of them, by its first address: its
  // signature is asked of the address that served it.
  std::map<std::string, std::shared_ptr<TSource>> Documents;
  std::string Home;
  std::size_t Processed = 0;
  std::size_t Total = 0;
  bool DatesChanged = false;
  bool UnpackFailed = false;
  bool Ended = false;
  std::chrono::steady_clock::time_point LastServed{};
  // Dates as the cache held them before a reset forced a read: a file found unchanged then
  // leaves the cache as it was, instead of rewriting all of it after every check.
  std::unordered_map<const TPatchItem*, std::int32_t> CachedDates;
  // The records in the order they are worked on, and the transfers of those after the one in
  // its turn.
  std::vector<TPatchItem*> Order;
  std::unique_ptr<TFetchAhead> Ahead;
  std::size_t Head = 0;                           // the record in its turn
  bool SpaceChecked = false;                      // the free space was judged
  const TDownloadThread* HeadTransfer = nullptr;  // its download, while it is waited for
  // Held while the records are worked on: no other launcher repairs the folder meanwhile.
  std::unique_ptr<platform::TFolderLock> FolderLock;
  // Folders a new file was renamed into. Each new file is on the disk before it takes its name,
  // so a power cut can at worst undo renames, which the next run repairs; the folders are put on
  // the disk once, when the run is done with them, instead of once per file.
  std::set<std::string> RenamedInto;
  // Files the cached list named and the new one does not (name and listed size): a file the new
  // list names under another name may be assembled from one of them.
  std::vector<std::pair<std::string, std::int64_t>> Departed;
  // Names without their extension that more than one record shares ("data.pak", "data.map"):
  // an earlier version named both files' backups after it, so such a leftover is no one's.
  std::set<std::string> SharedStems;
  // The cuts of the departed files taken as older copies: several new files (the parts of one
  // that was split) may each be assembled from one of them, which is then read once.
  std::map<std::string, std::shared_ptr<TSeedCut>> SeedCuts;
  void SyncFolders() {
    for (const std::string& folder : RenamedInto) platform::SyncFolderOf(folder);
    RenamedInto.clear();
  }
  ~TRunState() {
    SyncFolders();
    Map.Clear(true);
  }
};

// One record's names and paths, as its stages use them.
struct TUpdateRun::TRecord {
  TRecord(const TRunState& run, TPatchItem& patch)
      : Item(patch),
        Target(*patch.FileItem),
        Name(Target.FileName),
        Display(DisplayName(Name)),
        Local(LocalPath(run.Home, Name)),
        Archive(LocalPath(run.Home, patch.FileName)),
        // Each file's own: two files of one stem never share them.
        Backup(Local + ".kovabak"),
        Fresh(FreshPath(Local)),
        // The names an earlier version used, where they can only be this file's (and are not
        // this version's names already, as for a file without an extension).
        OldBackup(OldName(run, Local, ".kovabak")),
        OldFresh(OldName(run, Local, ".kovanew")),
        // With a key pinned an archive and a file must also have the SHA-256 of the signed list:
        // a CRC-32 and a size are easily forged.
        Verify(!UpdaterOptions().PublicKey.empty()) {}
  // A file's local path without its extension, in one letter case (names compare so).
  static std::string StemOf(const std::string& local);
  // The name with `suffix` an earlier version gave in place of the extension; empty when it is
  // no other than this version's, or another file of the same stem could own it.
  static std::string OldName(const TRunState& run, const std::string& local, const char* suffix) {
    const std::string old = ChangeFileExt(local, suffix);
    return old == local + suffix || run.SharedStems.count(StemOf(local)) ? std::string() : old;
  }
  TPatchItem& Item;
  TFileItem& Target;
  const std::string Name, Display, Local, Archive, Backup, Fresh, OldBackup, OldFresh;
  // Moves the file in place to its backup; false when there was no file to move.
  bool MoveToBackup() const;
  // Gives a backup (this version's, or one an earlier version left) back its file's name.
  void RestoreBackup() const;
  // Removes the backups and new copies of this file, of this version and earlier ones.
  void RemoveLeftovers() const;
  const bool Verify;
};

}  // namespace kova
