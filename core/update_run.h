#pragma once
// The update run: options, self-update, news, patch list, then every listed file checked and,
// when wrong or missing, restored from its archive. It runs on the GUI thread; each long step is
// a worker it waits for while the window keeps serving its messages, so the window's handlers
// (Cancel, Close) run nested inside it.

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "core/patch_list.h"
#include "core/update_host.h"
#include "platform/main_loop.h"
#include "support/datetime.h"
#include "workers/download_thread.h"
#include "workers/worker_thread.h"

namespace kova {

class TUpdateRun {
 public:
  explicit TUpdateRun(IUpdateHost& host) : host_(host) {}
  TUpdateRun(const TUpdateRun&) = delete;
  TUpdateRun& operator=(const TUpdateRun&) = delete;

  // `fromTimer`: the run started by showing the window, the only kind that updates the launcher.
  void UpdateRun(bool fromTimer);
  void CheckButtonClick();
  void UpdateButtons();
  void ResetProgress();

  bool IsRunning() const { return running_; }
  bool IsCancelled() const { return cancelled_; }
  bool IsCheckRequested() const { return checkRequested_; }
  // Whether the last run that ended had been cancelled: such a run is never a success, whatever
  // its last text says.
  bool LastRunCancelled() const { return lastRunCancelled_; }
  // Whether the last run that ended checked every file and left each as listed (or had nothing
  // to check), uncancelled. Judged from what the run did, never from its text: a catalog may
  // translate any two texts alike.
  bool LastRunSucceeded() const { return lastRunSucceeded_; }
  void SetCancelled(bool value);
  void SetCheckRequested(bool value) { checkRequested_ = value; }
  // Pauses or resumes every download (a run keeps its state and its partial files meanwhile);
  // the information line says "Paused" while a paused run goes on.
  void SetPaused(bool paused);
  bool IsPaused() const { return paused_; }
  const platform::TEvent& CancelEvent() const { return cancelEvent_; }

  // The worker's progress report turned into a file-bar position (called on the worker thread).
  bool OnWorkerProgress(const std::string& name, std::int64_t done, std::int64_t total);
  TWorkerProgressEvent ProgressCallback();

  // "Error while loading options" ends the run after this many options documents.
  static constexpr int kMaxOptionsRounds = 16;

 private:
  struct TRunState;
  void FinishRun(bool resetBars);
  void SetRunning(bool value) { running_ = value; }
  bool FetchOptions(TRunState& run);
  void SelfUpdate(TRunState& run);
  bool AcquirePatchList(TRunState& run);
  void CheckFiles(TRunState& run);
  // One record; returns false when the run has ended early (its text is set).
  enum class TStep { Next, Retry, Ended };
  // The stages of one record, in their order. Each gives a step when the record's turn ends
  // there (a retry, or the run's end with its text set), nothing when the next stage follows.
  struct TRecord;
  TStep ProcessRecord(TRunState& run, TPatchItem& item);
  // Look: size and date, or the content when it must be read; `intact` when it is the listed
  // file.
  std::optional<TStep> Look(TRunState& run, const TRecord& record, bool& intact);
  // Fetch and verify the archive: the one fetched ahead, a good one left on the disk, or a new
  // download.
  std::optional<TStep> Fetch(TRunState& run, const TRecord& record);
  // With the record's chunk index and an older copy of the file: the file assembled from the
  // chunks the copy has and those fetched. `done` when that way was taken to its end (the file
  // replaced, or the repair failed and the old file is back); otherwise the archive is the way.
  std::optional<TStep> RepairByChunks(TRunState& run, const TRecord& record, bool& done);
  // Notes the files the cached list named that a fresh list does not name.
  void NoteDeparted(TRunState& run, const std::string& cachePrefix);
  // Before the first repair: ends the run when the disk cannot hold what the repairs need.
  std::optional<TStep> CheckFreeSpace(TRunState& run);
  // When a file the check took to come by chunks falls back to its archive: ends the run when
  // the disk cannot hold the archive and the new copy.
  std::optional<TStep> CheckArchiveSpace(TRunState& run, const TRecord& record);
  // Ends the run with the free-space message when `need` bytes pass the `free` ones.
  std::optional<TStep> EndWithoutSpace(std::int64_t need, std::int64_t free);
  // The game's program must not run while its files are replaced.
  std::optional<TStep> WaitForGame(TRunState& run);
  // Unpack beside the file (the old one moved to its backup) and verify what came out.
  bool Unpack(TRunState& run, const TRecord& record);
  // Replace: the new copy takes the file's place, or the old file comes back.
  void Replace(TRunState& run, const TRecord& record, bool unpacked);
  void StepTotalProgress(TRunState& run);
  // Waits for the record's own worker while the transfers ahead are kept going.
  void WaitFetchingAhead(TRunState& run, TWaitingThread& worker);
  void SetFilePosition(int position);
  void ServeMessagesNowAndThen(TRunState& run);
  void EndRun(const std::string& text);
  // The run's text for the information line.
  void ShowInfo(const std::string& text);
  // With a publisher's key pinned: whether `signature` (with `kept`: the kept one; otherwise the
  // one published at `url` + ".sig", fetched into it) is the key's signature of `data`. True
  // when no key is pinned.
  // A document `where` served was refused (its signature, its stamp, its content): the address
  // that served it goes last, and true when another is left to ask.
  static bool AnotherAddressLeft(const TAddress& where, int servedBy);
  // The addresses of a document: `primary` and its mirrors, with their health in this run.
  static TAddress DocumentAddress(TRunState& run, const std::string& primary,
                                  const std::vector<std::string>& mirrors);
  bool SignatureHolds(const TAddress& document, const std::string& data, std::string& signature,
                      bool kept);
  // A document (options, list) into the run's stream: downloaded, or its kept copy when the
  // server says it has not changed since.
  struct TFetched {
    TDownloadOutcome Outcome = doFailed;
    bool NotModified = false;
    TDateTime ServerDate = 0;
    std::string ETag, LastModified, Signature;
    int ServedBy = -1;       // the address of the document's source that served it
    std::string ServedFrom;  // and that address itself
  };
  TFetched FetchDocument(TRunState& run, class TKeptDocument& kept, const TAddress& where,
                         TDateTime localDate, std::int64_t maxBody);
  // Where this game's documents are kept between runs.
  std::string KeptFolder() const;
  // Whether a signed document's serial (-1: none) is at least the highest accepted before, kept
  // per identifier under `name`, and, when equal, the document is the one accepted with it; a
  // higher one is stored with the document's digest.
  bool AcceptSerial(const char* name, std::int64_t serial, const std::string& data);
  // With a key pinned: whether the build the options name is to be fetched, which it is when it
  // is not the running one and not older than a build run here before.
  bool WantSignedBuild(const std::string& exePath);
  // Whether the file's SHA-256 is `digest`, read on a worker.
  bool DigestMatches(const std::string& path, const std::string& digest);
  // Ends the run with `text` from inside the walk over the records.
  TStep EndRecordWalk(const std::string& text);

  IUpdateHost& host_;
  bool running_ = false;
  bool cancelled_ = false;
  bool checkRequested_ = false;
  bool lastRunCancelled_ = false;
  bool succeeded_ = false;  // the run now ending did all it had to
  bool lastRunSucceeded_ = false;
  bool paused_ = false;
  std::string shownInfo_;  // the run's last text, shown unless paused
  platform::TEvent cancelEvent_;
  std::atomic<int> filePosition_{0};
};

// The file name shown on the information line: at most 40 characters as it is, otherwise "..."
// and its last 41 characters.
std::string DisplayName(const std::string& name);
// Whether `requests` chunks of `fetchBytes` bytes together cost less time than the whole
// archive of `archiveBytes`, sent over `connections` side by side, with a round trip of
// `roundTrip` seconds and the link's `rate` in bytes a second (0: not measured yet).
bool ChunksPayOff(std::int64_t fetchBytes, std::size_t requests, std::int64_t archiveBytes,
                  int connections, double roundTrip, double rate);
// position = max * done / total, rounded half to even, capped at max; 0 while total is unknown.
int BarPosition(int max, std::int64_t done, std::int64_t total);

}  // namespace kova
