#pragma once
// What the stages of an update run share: the run's state.
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

#include "core/bundle.h"
#include "core/fetch_ahead.h"
#include "core/options.h"
#include "core/record_repair.h"
#include "core/update_run.h"
#include "core/utility.h"
#include "net/source.h"
#include "platform/files.h"
#include "support/stream.h"
#include "support/translation.h"
#include "workers/chunk_threads.h"
#include "workers/download_thread.h"
#include "workers/transfer_session.h"

namespace kova {

// A document's addresses: the first, and its mirrors that are web addresses, in their order.
std::vector<std::string> WebAddresses(const std::string& primary,
                                      const std::vector<std::string>& mirrors);

struct TUpdateRun::TRunState : TRepairShared {
  bool FromTimer = false;
  TMemoryStream Stream;
  TPatchMap Map;
  // The bundle the list and the pieces come from; none: the server.
  std::unique_ptr<TBundle> Bundle;
  // The files the list says the publisher removed.
  std::vector<TRemovedFile> Removed;
  TDateTime ListDate = 0;
  bool FreshList = false;
  std::string LastOptionsUrl;
  // Each document's addresses with what this run learnt of them, by its first address: its
  // signature is asked of the address that served it.
  std::map<std::string, std::shared_ptr<TSource>> Documents;
  std::size_t Processed = 0;
  std::size_t Total = 0;
  // The total bar counts bytes: each record's file (checked, or unpacked) and the downloads.
  std::int64_t FileBytes = 0, FileBytesDone = 0;
  // The downloads: the records whose archives are to come, their files' listed sizes together,
  // those of the files whose archives came and the archives' own, and what the session had
  // received before the records' turn.
  std::set<const TPatchItem*> ToFetch;
  std::int64_t FetchFiles = 0, FetchedFiles = 0, FetchedArchives = 0, ReceivedBefore = 0;
  std::chrono::steady_clock::time_point TransferShown{};
  bool Ended = false;
  std::chrono::steady_clock::time_point LastServed{};
  // The records in the order they are worked on, and the transfers of those after the one in
  // its turn.
  std::vector<TPatchItem*> Order;
  std::unique_ptr<TFetchAhead> Ahead;
  std::size_t Head = 0;                           // the record in its turn
  bool SpaceChecked = false;                      // the free space was judged
  const TDownloadThread* HeadTransfer = nullptr;  // its download, while it is waited for
  // A pre-load: the records are the next version's, staged in Home (the stage); no box is shown
  // and nothing is written to the game folder. Why it ended early (empty: it did not), and its
  // bytes: the staged files' sizes together, and what of them is staged.
  bool Preload = false;
  std::string PreloadEnd;
  std::int64_t PreloadBytes = 0, PreloadStaged = 0, RecordReceived = 0;
  // Held while the records are worked on: no other launcher repairs the folder meanwhile.
  std::unique_ptr<platform::TFolderLock> FolderLock;
  void SyncFolders() {
    for (const std::string& folder : RenamedInto) platform::SyncFolderOf(folder);
    RenamedInto.clear();
  }
  ~TRunState() {
    FinishDiscarding();
    SyncFolders();
    Map.Clear(true);
  }
};

struct TUpdateRun::TFetched {
  TDownloadOutcome Outcome = doFailed;
  bool NotModified = false;
  TDateTime ServerDate = 0;
  std::string ETag, LastModified, Signature;
  int Status = 0;          // the last answer's HTTP status
  int ServedBy = -1;       // the address of the document's source that served it
  std::string ServedFrom;  // and that address itself
};

// What a record's repair may ask of the run: it reaches the run's window and state only so.
class TUpdateRun::TRepairHost final : public IRepairRun {
 public:
  TRepairHost(TUpdateRun& run, TRunState& state) : run_(run), state_(state) {}
  // A pre-load goes on behind a finished run: it keeps the window's line and bars as they are.
  void ShowInfo(const std::string& text) override {
    if (!state_.Preload) run_.ShowInfo(text);
  }
  void SetFilePosition(int position) override {
    if (!state_.Preload) run_.SetFilePosition(position);
  }
  int FilePosition() const override { return run_.filePosition_; }
  int FileBarMax() const override { return run_.host_.ProgressMax(); }
  TWorkerProgressEvent FileProgress() override {
    if (state_.Preload) return [](const std::string&, std::int64_t, std::int64_t) { return true; };
    return run_.ProgressCallback();
  }
  void Wait(TWaitingThread& worker) override { run_.WaitFetchingAhead(state_, worker); }
  void WaitTransfer(TDownloadThread& transfer) override {
    run_.WaitFetchingAhead(state_, transfer, &transfer);
  }
  void WaitUnpack(TDecompressThread& worker) override {
    run_.WaitFetchingAhead(state_, worker, nullptr, [&worker] { worker.Stop(); });
  }
  void ServeMessagesNowAndThen() override { run_.ServeMessagesNowAndThen(state_); }
  bool Cancelled() const override { return run_.cancelled_; }
  const platform::TEvent& CancelEvent() const override { return run_.cancelEvent_; }
  // A pre-load asks the player nothing: what fails ends it, with its reason, until the next run.
  TBoxResult RetryBox(TBoxKind kind, const std::string& text) override {
    if (state_.Preload) {
      if (state_.PreloadEnd.empty()) state_.PreloadEnd = text;
      return TBoxResult::Cancel;
    }
    return run_.host_.RetryBox(kind, text);
  }
  void ShowReason(const std::string& reason) override {
    if (state_.Preload)
      state_.PreloadEnd = reason;
    else
      run_.host_.ShowReason(reason);
  }
  void PlanFetch(const TPatchItem& item) override { run_.PlanFetch(state_, item); }
  const TBundle* Bundle() const override { return state_.Bundle.get(); }
  void NoteFetched(const TPatchItem& item, std::int64_t archiveBytes) override {
    run_.PlanFetch(state_, item);
    state_.FetchedFiles += item.FileItem->Size;
    state_.FetchedArchives += archiveBytes;
  }
  TFetchAhead& Ahead() override { return *state_.Ahead; }
  TTransferSession& Session() override { return *run_.session_; }
  void EndRun(const std::string& text) override {
    if (!state_.Preload)
      run_.EndRun(text);
    else if (state_.PreloadEnd.empty())
      state_.PreloadEnd = text;
  }
  // The pre-load judged the room its stage takes before it began.
  bool RoomForArchive(const TPatchItem& item) override {
    return state_.Preload || run_.RoomForArchive(state_, item);
  }

 private:
  TUpdateRun& run_;
  TRunState& state_;
};

}  // namespace kova
