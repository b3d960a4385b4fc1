#pragma once
// One record's repair: look at its file, and when it is not the listed one, bring the listed one
// in its place, from the chunks an older copy has or from the record's archive, with the old
// file kept as a backup until the new one has taken its place. A repair knows of its run only
// what it may ask of it (IRepairRun) and what the repairs of one run share (TRepairShared).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/patch_list.h"
#include "core/update_host.h"
#include "platform/main_loop.h"
#include "support/translation.h"
#include "workers/chunk_threads.h"
#include "workers/remove_thread.h"
#include "workers/worker_thread.h"

namespace kova {

class TDecompressThread;
class TDownloadThread;
class TFetchAhead;
class TSource;
class TTransferSession;

// The run's texts that a repair shares with it.
inline const char* const kCancelledByUser = TrNoop("Check cancelled by user");
inline const char* const kCancelledByError = TrNoop("Check cancelled due to an error");

// How a record's turn ends: the next record follows, the same record is tried again (the player
// chose Retry), or the run has ended with its text shown.
enum class TRepairStep : unsigned char { Next, Retry, Ended };

// What a repair may ask of the run it is part of.
class IRepairRun {
 public:
  virtual ~IRepairRun() = default;
  // The information line.
  virtual void ShowInfo(const std::string& text) = 0;
  // The file bar, which follows the record in its turn.
  virtual void SetFilePosition(int position) = 0;
  virtual int FilePosition() const = 0;
  virtual int FileBarMax() const = 0;
  // A worker's progress turned into the file bar's position.
  virtual TWorkerProgressEvent FileProgress() = 0;
  // Waits for a worker while the window is served and the transfers ahead are kept going;
  // WaitTransfer for the record's own download, which counts as one of those transfers.
  virtual void Wait(TWaitingThread& worker) = 0;
  virtual void WaitTransfer(TDownloadThread& transfer) = 0;
  // And for the record's own unpacking, which a cancel stops at its next block.
  virtual void WaitUnpack(TDecompressThread& worker) = 0;
  // Lets the window's messages through when it has waited a while.
  virtual void ServeMessagesNowAndThen() = 0;
  virtual bool Cancelled() const = 0;
  virtual const platform::TEvent& CancelEvent() const = 0;
  virtual TBoxResult RetryBox(TBoxKind kind, const std::string& text) = 0;
  // Shows why a step failed (an archive's download, say) before its box asks what to do.
  virtual void ShowReason(const std::string& reason) = 0;
  // The record's archive is to be downloaded, and then it has been (`archiveBytes` long): what
  // the run shows of its downloads counts it.
  virtual void PlanFetch(const TPatchItem& item) = 0;
  // The bundle the run takes its pieces from first; null: the server alone.
  virtual const class TBundle* Bundle() const = 0;
  virtual void NoteFetched(const TPatchItem& item, std::int64_t archiveBytes) = 0;
  // The archives of later records fetched and unpacked ahead of their turn.
  virtual TFetchAhead& Ahead() = 0;
  // The connections, proxies, speed limit and pause every transfer of the run shares.
  virtual TTransferSession& Session() = 0;
  // Ends the run with `text` on the information line.
  virtual void EndRun(const std::string& text) = 0;
  // When the chunk way falls back to the archive: false when the disk cannot hold the archive
  // and the new copy (the run has then ended).
  virtual bool RoomForArchive(const TPatchItem& item) = 0;
};

// What the repairs of one run share.
struct TRepairShared {
  std::string Home;  // the game folder, with its trailing separator
  // Where the list's archives and chunks are published: beside the list, on each of its mirrors.
  std::shared_ptr<TSource> Published;
  std::string ProgramPath;  // the game's program, which must not run while files are replaced
  bool DatesChanged = false;
  bool UnpackFailed = false;
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
  // The files of a pre-loaded next version (with a trailing separator; empty: none): a record
  // takes its new file, or what of its archive and chunks was fetched, from there first.
  std::string Stage;
  // While pre-loading into the stage: the game folder, whose files are the older copies the
  // next version's chunks are found in, and the folder its own archives are published under.
  std::string SeedHome;
  std::string ArchivePrefix;
  // The folder the old copies of replaced files go into, each then removed on a worker while
  // the run goes on, one at a time (empty: removed at once). A run that could not finish it
  // leaves it to the next, which empties it first.
  std::string Trash;
  std::unique_ptr<TRemoveThread> Removing;
  std::size_t Discarded = 0;
  // Removes a file the run no longer needs, through the trash when there is one.
  void Discard(const std::string& path);
  // Waits for the last removal and removes the trash folder.
  void FinishDiscarding();
};

// What a look at a file's size tells of the way its record goes, before any file is read.
enum class TArchiveNeed {
  ReadFirst,  // the file's size is the listed one (or it is soft-checked): read it in its turn
  Archive,    // the file is missing or of another size: its archive is needed
  Chunks,     // the file may be assembled from an older copy's chunks: the archive may not be
  Withheld,   // the file is not repaired (a path too long, a link on the way)
};
// `exists` and `size`: the file as it was looked at; `olderCopies`: files the new list no
// longer names are on the disk.
TArchiveNeed ArchiveNeedOf(const std::string& home, const TFileItem& target, bool exists,
                           std::int64_t size, bool softCheck, bool olderCopies);

// Gives a new copy the mode of the file it replaces (none: `replaced` empty), and the run bit to
// a program.
void GiveMode(const std::string& fresh, const std::string& replaced, bool executable);
// Whether the file's SHA-256 is `digest`, read on a worker while the window is served; false
// when the read fails or is cancelled.
bool FileHasDigest(const std::string& path, const std::string& digest,
                   const platform::TEvent* cancelEvent);
// A file's local path without its extension, in one letter case (names compare so).
std::string StemOf(const std::string& local);

class TRecordRepair {
 public:
  TRecordRepair(IRepairRun& run, TRepairShared& shared, TPatchItem& item);
  TRecordRepair(const TRecordRepair&) = delete;
  TRecordRepair& operator=(const TRecordRepair&) = delete;

  // Whether the file can be repaired where it is: a path the system can take (with the longest
  // name made beside it), and no link on the way in the game folder.
  bool PathUsable() const;
  // Looks at the file: size and date, or the content when it must be read. A step when the
  // record's turn ends there; otherwise Intact() tells whether it is the listed file.
  std::optional<TRepairStep> Look();
  bool Intact() const { return intact_; }
  // Brings the listed file in place of one that is not: by chunks or from the archive, after
  // the game has closed; the old file comes back when the new one cannot take its place.
  TRepairStep Repair();

 private:
  // Fetch and verify the archive: the one fetched ahead, a good one left on the disk, or a new
  // download.
  std::optional<TRepairStep> Fetch();
  // With the record's chunk index and an older copy of the file: the file assembled from the
  // chunks the copy has and those fetched. `done` when that way was taken to its end (the file
  // replaced, or the repair failed and the old file is back); otherwise the archive is the way.
  std::optional<TRepairStep> RepairByChunks(bool& done);
  std::optional<TRepairStep> WaitForGame();
  // The file a pre-load staged, checked as one just unpacked, in the file's place (the step);
  // otherwise what the stage holds of its archive and chunks is put where this run would fetch
  // them, and the repair goes on.
  std::optional<TRepairStep> TakeStaged();
  // Unpack beside the file and verify what came out; the old file then moves to its backup.
  bool Unpack();
  // Replace: the new copy takes the file's place, or the old file comes back.
  void Replace(bool unpacked);
  TRepairStep End(const std::string& text);

  // Moves the file in place to its backup; false when there was no file to move.
  bool MoveToBackup() const;
  // Gives a backup (this version's, or one an earlier version left) back its file's name.
  void RestoreBackup() const;
  // Removes the backups and new copies of this file, of this version and earlier ones.
  void RemoveLeftovers() const;
  // The name with `suffix` an earlier version gave in place of the extension; empty when it is
  // no other than this version's, or another file of the same stem could own it.
  std::string OldName(const char* suffix) const;

  IRepairRun& run_;
  TRepairShared& shared_;
  TPatchItem& item_;
  TFileItem& target_;
  const std::string name_, shown_, display_, local_, archive_, backup_, fresh_, oldBackup_,
      oldFresh_;
  // With a key pinned an archive and a file must also have the SHA-256 of the signed list: a
  // CRC-32 and a size are easily forged.
  const bool verify_;
  bool intact_ = false;
};

// The file name shown on the information line: at most 40 characters as it is, otherwise "..."
// and its last 41 characters.
std::string DisplayName(const std::string& name);
// A listed name as the player reads it: with the platform's folder separator.
std::string ShownName(const std::string& listed);
// Whether `requests` chunks of `fetchBytes` bytes together cost less time than the whole
// archive of `archiveBytes`, sent over `connections` side by side, with a round trip of
// `roundTrip` seconds and the link's `rate` in bytes a second (0: not measured yet).
bool ChunksPayOff(std::int64_t fetchBytes, std::size_t requests, std::int64_t archiveBytes,
                  int connections, double roundTrip, double rate);
// position = max * done / total, rounded half to even, capped at max; 0 while total is unknown.
int BarPosition(int max, std::int64_t done, std::int64_t total);

}  // namespace kova
