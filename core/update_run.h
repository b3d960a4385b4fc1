#pragma once
// The update run: options, self-update, news, patch list, then every listed file checked and,
// when wrong or missing, restored from its archive. It runs on the GUI thread; each long step is
// a worker it waits for while the window keeps serving its messages, so the window's handlers
// (Cancel, Close) run nested inside it.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/patch_list.h"
#include "core/record_repair.h"
#include "core/update_host.h"
#include "platform/main_loop.h"
#include "support/datetime.h"
#include "workers/worker_thread.h"

namespace kova {

struct TAddress;
class TDownloadThread;
class TTransferSession;

class TUpdateRun {
 public:
  explicit TUpdateRun(IUpdateHost& host);
  ~TUpdateRun();
  TUpdateRun(const TUpdateRun&) = delete;
  TUpdateRun& operator=(const TUpdateRun&) = delete;

  // `fromTimer`: the run started by showing the window, the only kind that updates the launcher.
  void UpdateRun(bool fromTimer);
  void CheckButtonClick();
  void UpdateButtons();
  void ResetProgress();

  // A run, or the pre-load after it, goes on.
  bool IsRunning() const { return running_ || preloading_; }
  bool IsPreloading() const { return preloading_; }
  // After a run that left the game as listed, fetch what the next version needs into the stage
  // while the window is open (when the options name a next list). A run or a check asked for
  // meanwhile stops it at once and starts.
  void SetPreload(bool preload) { preload_ = preload; }
  // Whether the last pre-load ended with the stage holding the whole next version (or there was
  // none to hold).
  bool LastPreloadComplete() const { return preloadComplete_; }
  // What the last pre-load ended with: "The next version is pre-loaded" when it staged one,
  // empty otherwise.
  const std::string& LastPreloadText() const { return preloadText_; }
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
  // Bytes a second for all the run's downloads together (0: no limit), from now on.
  void SetSpeedLimit(std::int64_t bytesPerSecond);
  // Files unpacked at once, the record in its turn included (1 to kMaxJobs; 0: DefaultJobs).
  // The next runs take the list and the pieces from this bundle (kova-publish bundle) instead
  // of the server, each judged as if downloaded; empty: none.
  void SetBundle(std::string path) { bundlePath_ = std::move(path); }
  void SetJobs(int jobs) { jobs_ = jobs; }
  static constexpr int kMaxJobs = 8;
  // One for each core, up to kMaxJobs.
  static int DefaultJobs();
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
  // One run, and the pre-load after it.
  void RunOnce(bool fromTimer);
  void FinishRun(bool resetBars);
  void SetRunning(bool value) { running_ = value; }
  bool FetchOptions(TRunState& run);
  void SelfUpdate(TRunState& run);
  bool AcquirePatchList(TRunState& run);
  void CheckFiles(TRunState& run);
  // One record's turn: its look, the free space judged before the first repair, its repair.
  using TStep = TRepairStep;
  // What a record's repair may ask of this run.
  class TRepairHost;
  TStep ProcessRecord(TRunState& run, IRepairRun& host, TPatchItem& item);
  // Notes the files the cached list named that a fresh list does not name.
  void NoteDeparted(TRunState& run, const std::string& cachePrefix);
  // Before the first repair: ends the run when the disk cannot hold what the repairs need.
  std::optional<TStep> CheckFreeSpace(TRunState& run);
  // When a file the check took to come by chunks falls back to its archive: false when the
  // disk cannot hold the archive and the new copy (the run has then ended).
  bool RoomForArchive(TRunState& run, const TPatchItem& item);
  // Ends the run with the free-space message when `need` bytes pass the `free` ones.
  std::optional<TStep> EndWithoutSpace(std::int64_t need, std::int64_t free);
  void StepTotalProgress(TRunState& run);
  // Waits for the record's own worker (`transfer`: its download) while the transfers ahead are
  // kept going.
  // `onCancel` is called once when the run is cancelled meanwhile.
  void WaitFetchingAhead(TRunState& run, TWaitingThread& worker,
                         const TDownloadThread* transfer = nullptr,
                         const std::function<void()>& onCancel = {});
  void SetFilePosition(int position);
  void ServeMessagesNowAndThen(TRunState& run);
  void EndRun(const std::string& text);
  // Ends a failed run with `text`, and shows the reason noted last (or `otherwise`, when none
  // was) beside it.
  void EndRunBecause(const std::string& text, const std::string& otherwise = {});
  // The run's text for the information line.
  void ShowInfo(const std::string& text);
  // A document `where` served was refused (its signature, its stamp, its content): the address
  // that served it goes last, and true when another is left to ask.
  static bool AnotherAddressLeft(const TAddress& where, int servedBy);
  // The addresses of a document: `primary` and its mirrors, with their health in this run.
  static TAddress DocumentAddress(TRunState& run, const std::string& primary,
                                  const std::vector<std::string>& mirrors);
  // With a publisher's key pinned: whether `signature` (with `kept`: the kept one; otherwise the
  // one published at `url` + ".sig", fetched into it) is the key's signature of `data`. True
  // when no key is pinned.
  bool SignatureHolds(const TAddress& document, const std::string& data, std::string& signature,
                      bool kept);
  // A document (options, list) into the run's stream: downloaded, or its kept copy when the
  // server says it has not changed since.
  struct TFetched;
  // The list and its signature from the run's bundle.
  TFetched BundleDocument(TRunState& run);
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
  // Removes the files the list says were removed, where each is a plain file in the game folder
  // that still holds what an earlier list installed: a player's own file is never touched.
  void RemoveWithdrawn(TRunState& run);
  // Counts the record's archive among the downloads to come (once).
  void PlanFetch(TRunState& run, const TPatchItem& item);
  // The total bar by bytes and, while downloads are due, what they have done and have left
  // (the text at most four times a second, unless `now`).
  void ShowProgress(TRunState& run, bool now);
  // Ends the run with `text` from inside the walk over the records.
  TStep EndRecordWalk(const std::string& text);
  // The pre-load after a run that left the game as `run` lists it.
  void Preload(TRunState& run);
  // Fetches, judges and keeps the next list into `next` (`before`: the one the stage holds);
  // false when there is none to pre-load.
  bool AcquireNextList(TRunState& next, const std::string& stage, const std::string& before);
  void PreloadRecords(TRunState& next);
  void ShowPreload(TRunState& next, bool now);
  // The speed limit the downloads keep to: the player's, and while pre-loading the pre-load's.
  void ApplySpeedLimit();

  IUpdateHost& host_;
  // What every transfer of the run shares: kept connections, proxies, speed limit and pause.
  const std::unique_ptr<TTransferSession> session_;
  bool running_ = false;
  bool cancelled_ = false;
  bool checkRequested_ = false;
  bool lastRunCancelled_ = false;
  bool succeeded_ = false;  // the run now ending did all it had to
  bool lastRunSucceeded_ = false;
  bool paused_ = false;
  bool preload_ = false, preloading_ = false, preloadComplete_ = false;
  // A run asked for while pre-loading, started once the pre-load has stopped.
  bool pendingRun_ = false, pendingFromTimer_ = false;
  std::int64_t speedLimit_ = 0;
  std::string preloadText_;
  int jobs_ = 0;
  std::string shownInfo_;  // the run's last text, shown unless paused
  // Why the last document step failed: shown when the run ends on it.
  std::string reason_;
  std::string bundlePath_;
  platform::TEvent cancelEvent_;
  std::atomic<int> filePosition_{0};
  // When a worker's progress last went to the file bar (microseconds of the steady clock).
  std::atomic<std::int64_t> lastProgressPost_{0};
  static constexpr std::int64_t kProgressStepMicros = 20000;
};

}  // namespace kova
