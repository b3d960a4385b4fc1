#include "core/update_run.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <set>
#include <thread>

#include "core/fetch_ahead.h"
#include "core/options.h"
#include "core/preload.h"
#include "core/startup.h"
#include "core/update_run_state.h"
#include "core/utility.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/text.h"
#include "support/translation.h"
#include "workers/checksum_thread.h"
#include "workers/decompress_thread.h"
#include "workers/download_thread.h"
#include "workers/transfer_session.h"

namespace kova {

namespace {

const char* const kAllChecked = TrNoop("All files have been checked");
const char* const kNotUpdated =
    TrNoop("One or more files could not be updated. Please Check files again");
const char* const kFolderBusy =
    TrNoop("Another launcher is updating the game folder. Please Check files again");
const char* const kPaused = TrNoop("Paused");
const char* const kKeyWithoutUid =
    TrNoop("Error in the options: a public key is pinned but no uid is given");

}  // namespace

// A document's addresses: the first, and its mirrors that are web addresses, in their order.
std::vector<std::string> WebAddresses(const std::string& primary,
                                      const std::vector<std::string>& mirrors) {
  std::vector<std::string> addresses{primary};
  for (const std::string& mirror : mirrors) {
    if (IsWebUrl(mirror)) addresses.push_back(mirror);
  }
  return addresses;
}

std::string ShownName(const std::string& listed) {
  std::string shown = listed;
  for (char& c : shown)
    if (c == '\\' || c == '/') c = platform::ShownSeparator();
  return shown;
}

std::string DisplayName(const std::string& name) {
  if (name.size() <= 40) return name;
  // Cut where a character begins: half of one would show as garbage.
  std::size_t from = name.size() - 41;
  while (from < name.size() && (static_cast<unsigned char>(name[from]) & 0xC0) == 0x80) ++from;
  return "..." + name.substr(from);
}

int BarPosition(int max, std::int64_t done, std::int64_t total) {
  if (total <= 0) return 0;
  const double exact =
      static_cast<double>(max) * static_cast<double>(done) / static_cast<double>(total);
  const double rounded = std::nearbyint(exact);  // halves to even
  return rounded > max ? max : static_cast<int>(rounded);
}

TUpdateRun::TUpdateRun(IUpdateHost& host)
    : host_(host), session_(std::make_unique<TTransferSession>()) {}

TUpdateRun::~TUpdateRun() = default;

int TUpdateRun::DefaultJobs() {
  return static_cast<int>(
      std::min(std::max(1u, std::thread::hardware_concurrency()), static_cast<unsigned>(kMaxJobs)));
}

void TUpdateRun::SetSpeedLimit(std::int64_t bytesPerSecond) {
  speedLimit_ = bytesPerSecond;
  ApplySpeedLimit();
}

void TUpdateRun::ApplySpeedLimit() {
  std::int64_t limit = speedLimit_;
  const std::int64_t own = UpdaterOptions().PreloadRate;
  if (preloading_ && own > 0 && (limit <= 0 || own < limit)) limit = own;
  session_->Control.SetLimit(limit);
}

TUpdateRun::TStep TUpdateRun::ProcessRecord(TRunState& run, IRepairRun& host, TPatchItem& item) {
  TRecordRepair repair(host, run, item);
  if (!repair.PathUsable()) {
    run.UnpackFailed = true;
    return TStep::Next;
  }
  if (const auto step = repair.Look()) return *step;
  if (repair.Intact()) {
    run.Ahead->Drop(item);
    return TStep::Next;
  }
  if (!run.SpaceChecked) {
    run.SpaceChecked = true;
    if (const auto step = CheckFreeSpace(run)) return *step;
    platform::FaultPoint("space-checked");
    run.Ahead->Allow();
  }
  return repair.Repair();
}

void TUpdateRun::SetCancelled(bool value) {
  cancelled_ = value;
  if (value)
    cancelEvent_.Set();
  else
    cancelEvent_.Reset();
}

bool TUpdateRun::OnWorkerProgress(const std::string&, std::int64_t done, std::int64_t total) {
  const int position = BarPosition(host_.ProgressMax(), done, total);
  auto apply = [this, position] {
    filePosition_ = position;
    host_.SetFileProgress(position);
  };
  // The last report of a transfer is awaited, so the bar shows it before the run goes on; the
  // first is queued like the ones between: the queue keeps their order, and a round trip to
  // the GUI thread per file costs more than checking a small file.
  // Between them the bar moves at most every few milliseconds: a wake-up of the GUI thread
  // for each block would cost a large file's check more than reading it.
  if (done == total) {
    platform::SendToGuiThread(apply);
  } else if (done == 0 || position != filePosition_.load()) {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    std::int64_t last = lastProgressPost_.load();
    if (done == 0 || now - last >= kProgressStepMicros) {
      if (done == 0 || lastProgressPost_.compare_exchange_strong(last, now))
        platform::PostToGuiThread(apply);
    }
  }
  return true;
}

TWorkerProgressEvent TUpdateRun::ProgressCallback() {
  return [this](const std::string& name, std::int64_t done, std::int64_t total) {
    return OnWorkerProgress(name, done, total);
  };
}

void TUpdateRun::UpdateButtons() {
  if (running_) {
    host_.EnableButtons(false, false);
    return;
  }
  const TUpdaterOptions& o = UpdaterOptions();
  const std::string program = o.ProgramPath();
  host_.EnableButtons(!program.empty() && platform::FileExists(program),
                      IsWebUrl(o.OptionsUrl) || IsWebUrl(o.PatchListUrl));
}

void TUpdateRun::ResetProgress() {
  host_.SetTotalProgress(0);
  filePosition_ = 0;
  host_.SetFileProgress(0);
}

void TUpdateRun::CheckButtonClick() {
  SetCheckRequested(true);
  UpdateRun(false);
}

TUpdateRun::TStep TUpdateRun::EndRecordWalk(const std::string& text) {
  EndRun(text);
  return TStep::Ended;
}

void TUpdateRun::EndRun(const std::string& text) {
  ShowInfo(text);
  FinishRun(true);
}

void TUpdateRun::EndRunBecause(const std::string& text, const std::string& otherwise) {
  ShowInfo(text);
  const std::string reason = reason_.empty() ? otherwise : reason_;
  if (!reason.empty()) host_.ShowReason(reason);
  reason_.clear();
  FinishRun(true);
}

void TUpdateRun::ShowInfo(const std::string& text) {
  shownInfo_ = text;
  // While the downloads are paused the line says so; the run's own text comes back on resume.
  if (paused_ && running_) {
    if (host_.Info() != Tr(kPaused)) host_.SetInfo(Tr(kPaused));
    return;
  }
  host_.SetInfo(text);
}

void TUpdateRun::SetPaused(bool paused) {
  paused_ = paused;
  session_->Control.SetPaused(paused);
  if (running_) host_.SetInfo(paused ? Tr(kPaused) : shownInfo_);
}

void TUpdateRun::FinishRun(bool resetBars) {
  // A run that ends while paused shows how it ended.
  if (paused_ && host_.Info() != shownInfo_) host_.SetInfo(shownInfo_);
  // Connections are kept for the requests of one run only: a server's idle time-out would end
  // them long before the next one.
  session_->Pool.CloseAll();
  if (resetBars) ResetProgress();
  host_.SetTransfer("");
  lastRunCancelled_ = cancelled_;
  lastRunSucceeded_ = succeeded_ && !cancelled_;
  succeeded_ = false;
  SetRunning(false);
  SetCancelled(false);
  UpdateButtons();
}

void TUpdateRun::UpdateRun(bool fromTimer) {
  // The player's run comes first: the pre-load stops at once, and the run starts once it has.
  if (preloading_) {
    pendingRun_ = true;
    pendingFromTimer_ = fromTimer;
    SetCancelled(true);
    return;
  }
  // A run already active, or a cancellation still pending, starts nothing and is left alone.
  if (cancelled_ || running_) return;
  // A run asked for during the pre-load follows it here, after this run's state has gone: runs
  // asked for again and again never pile up one list on another.
  for (bool from = fromTimer;; from = pendingFromTimer_) {
    pendingRun_ = false;
    RunOnce(from);
    if (!pendingRun_) break;
  }
}

void TUpdateRun::RunOnce(bool fromTimer) {
  TRunState run;
  succeeded_ = false;
  run.FromTimer = fromTimer;
  const TUpdaterOptions& o = UpdaterOptions();
  run.ProgramPath = o.ProgramPath();
  SetRunning(true);
  UpdateButtons();
  ShowInfo("");
  // The reason an earlier run ended on is not this run's.
  reason_.clear();
  host_.ShowReason("");
  host_.SetTransfer("");
  host_.ProcessMessages();

  // Signed documents name the game they are for; a launcher that pins a key but names no game
  // could not tell one game's publication from another's.
  if (!o.PublicKey.empty() && o.Uid.empty()) {
    EndRun(Tr(kKeyWithoutUid));
    return;
  }
  // A bundle stands for the server's list: the options and the launcher's build are not asked
  // for (a player with a bundle may well have no line to the server).
  if (!bundlePath_.empty()) {
    run.Bundle = std::make_unique<TBundle>();
    std::string why;
    if (!run.Bundle->Open(bundlePath_, why)) {
      EndRunBecause(Tr("Error while loading patchlist"), bundlePath_ + ": " + why);
      return;
    }
  } else if (!FetchOptions(run)) {
    return;
  }
  // A launcher installed away from the game (in /usr/bin) is the system's to update, with its
  // packages: no build of the publisher's is fetched for it, nor written beside it.
  const bool installedAway =
      !GameFolder.empty() && GameFolder != ExtractFilePath(host_.ExecutablePath());
  if (run.FromTimer && !installedAway && !run.Bundle && IsWebUrl(UpdaterOptions().UpdaterUrl)) {
    SelfUpdate(run);
    if (run.Ended) return;
  }
  if (IsWebUrl(o.NewsUrl) && !host_.NewsLoaded())
    host_.NavigateNews(WebAddresses(o.NewsUrl, o.NewsMirrors));
  if (!AcquirePatchList(run)) return;
  CheckFiles(run);
  // The folder is the player's again: a run asked for during the pre-load takes it.
  run.FolderLock.reset();
  // The stage is tidied after every run that left the game as listed; pre-loaded when asked.
  if (lastRunSucceeded_ && !run.Home.empty()) Preload(run);
}

void TUpdateRun::SetFilePosition(int position) {
  filePosition_ = position;
  host_.SetFileProgress(position);
}

void TUpdateRun::ServeMessagesNowAndThen(TRunState& run) {
  // Work done on the GUI thread between workers lets the window's messages through often
  // enough that it never seems to hang.
  const auto now = std::chrono::steady_clock::now();
  if (now - run.LastServed < std::chrono::milliseconds(10)) return;
  run.LastServed = now;
  host_.ProcessMessages();
}

void TUpdateRun::WaitFetchingAhead(TRunState& run, TWaitingThread& worker,
                                   const TDownloadThread* transfer,
                                   const std::function<void()>& onCancel) {
  // Known to the top-ups while it runs, and forgotten before it goes, whatever happens.
  struct TShown {
    const TDownloadThread*& Slot;
    ~TShown() { Slot = nullptr; }
  } shown{run.HeadTransfer};
  run.HeadTransfer = transfer;
  // A transfer fetched ahead that ends wakes the wait: its place goes to the next archive at
  // once, not only when the record in its turn is done.
  bool stopped = false;
  platform::WaitUntilServingMessages([&] {
    if (worker.DoneEvent.IsSet()) return true;
    if (onCancel && cancelled_ && !stopped) {
      stopped = true;
      onCancel();
    }
    run.Ahead->TopUp(run.Head, run.HeadTransfer && !run.HeadTransfer->DoneEvent.IsSet());
    ShowProgress(run, false);
    return false;
  });
}

void TUpdateRun::StepTotalProgress(TRunState& run) {
  ++run.Processed;
  run.FileBytesDone += std::max<std::int64_t>(0, run.Order[run.Head]->FileItem->Size);
  ShowProgress(run, false);
}

void TUpdateRun::RemoveWithdrawn(TRunState& run) {
  for (const TRemovedFile& file : run.Removed) {
    ServeMessagesNowAndThen(run);
    if (cancelled_) return;
    // A file listed again is the list's, whatever an earlier one held.
    if (run.Map.Get(file.FileName)) continue;
    const std::string local = LocalPath(run.Home, file.FileName);
    // Never through a link, never a folder or a device: only what the launcher could have put
    // there, inside the game folder.
    if (!platform::IsRealFolderChain(run.Home, BackslashToSlash(file.FileName)) ||
        !platform::IsRegularFile(local) || GetFileSize64(local) != file.Size)
      continue;
    std::uint32_t crc = 0;
    {
      TChecksumThread worker(local, &cancelEvent_, nullptr);
      WaitWithMessages(worker);
      crc = worker.Crc;
    }
    if (cancelled_) return;
    // Changed by the player since: theirs now.
    if (crc != file.Checksum) continue;
    if (platform::RemoveFile(local)) run.RenamedInto.insert(ExtractFilePath(local));
  }
}

void TUpdateRun::PlanFetch(TRunState& run, const TPatchItem& item) {
  // Pieces from a bundle are no downloads.
  if (run.Bundle) return;
  if (run.ToFetch.insert(&item).second)
    run.FetchFiles += std::max<std::int64_t>(0, item.FileItem->Size);
}

void TUpdateRun::ShowProgress(TRunState& run, bool now) {
  if (run.Preload) {
    ShowPreload(run, now);
    return;
  }
  const std::int64_t received = session_->Control.Received() - run.ReceivedBefore;
  // What is still to come: the files whose archives have not come yet, at the ratio of archive
  // to file the ones that came had (an archive is never much larger than its file), less what
  // of them has arrived already.
  std::int64_t fetchTotal = received;
  if (run.FetchFiles > 0) {
    const double ratio = run.FetchedFiles > 0
                             ? std::min(1.0, static_cast<double>(run.FetchedArchives) /
                                                 static_cast<double>(run.FetchedFiles))
                             : 1.0;
    const double owed = static_cast<double>(run.FetchFiles - run.FetchedFiles) * ratio -
                        static_cast<double>(received - run.FetchedArchives);
    fetchTotal += static_cast<std::int64_t>(std::max(0.0, owed));
  }
  // A file's bytes count once it is checked or in place; a download's as they arrive.
  const std::int64_t total = run.FileBytes + fetchTotal;
  const std::int64_t done = std::min(total, run.FileBytesDone + received);
  const int position =
      total > 0 ? BarPosition(host_.ProgressMax(), done, total)
                : BarPosition(host_.ProgressMax(), static_cast<std::int64_t>(run.Processed),
                              static_cast<std::int64_t>(run.Total));
  if (position != host_.TotalProgress()) host_.SetTotalProgress(position);
  if (run.FetchFiles == 0) return;
  const auto clock = std::chrono::steady_clock::now();
  if (!now && clock - run.TransferShown < std::chrono::milliseconds(250)) return;
  run.TransferShown = clock;
  host_.SetTransfer(TransferText(received, fetchTotal, session_->Control.ReceiveRate()));
}

void TUpdateRun::CheckFiles(TRunState& run) {
  TUpdaterOptions& o = UpdaterOptions();
  if (!cancelled_) {
    const bool fullCheckDue = o.IsFullCheckDue();
    for (auto it = run.Map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next()) {
      // Tens of thousands of records, each against every hard-check mask: the window's messages
      // are served meanwhile, and a cancel ends the loop.
      ServeMessagesNowAndThen(run);
      if (cancelled_) break;
      if (checkRequested_ || fullCheckDue || o.IsHardCheck(item->FileItem->FileName)) {
        item->FileItem->MustRead = true;
      }
    }
  }
  run.Published =
      std::make_shared<TSource>(FolderBases(WebAddresses(o.PatchListUrl, o.PatchListMirrors)));
  run.Processed = 0;
  run.Total = run.Map.Count();
  run.FileBytes = run.FileBytesDone = 0;
  for (auto it = run.Map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next())
    run.FileBytes += std::max<std::int64_t>(0, item->FileItem->Size);
  run.ReceivedBefore = session_->Control.Received();
  run.Home = o.HomeDir();
  if (run.Map.Count() > 0) {
    platform::ForceDirectories(run.Home);
    run.FolderLock = std::make_unique<platform::TFolderLock>(run.Home);
    if (run.FolderLock->Busy()) {
      EndRun(Tr(kFolderBusy));
      return;
    }
  }
  run.DatesChanged = run.UnpackFailed = false;
  // What a run that was cut off left in the trash goes first.
  if (run.Map.Count() > 0 && !NamesFolder(run.Map, kTrashFolder)) {
    run.Trash = run.Home + kTrashFolder + "/";
    RemoveTree(run.Trash);
  }
  ResetProgress();
  ShowInfo(Tr("Checking files..."));
  host_.ProcessMessages();

  std::set<std::string> stems;
  for (auto it = run.Map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next()) {
    run.Order.push_back(item);
    const std::string stem = StemOf(LocalPath(run.Home, item->FileItem->FileName));
    if (!stems.insert(stem).second) run.SharedStems.insert(stem);
  }
  TFetchAhead::TSettings ahead;
  ahead.Home = run.Home;
  ahead.Published = run.Published;
  ahead.Session = session_.get();
  // With a bundle each record takes its archive from it in its turn; the server is asked only
  // for what the bundle lacks.
  ahead.Transfers = run.Bundle ? 1 : o.TransferCount();
  ahead.Sha256 = !o.PublicKey.empty();
  ahead.OlderCopies = !run.Departed.empty();
  ahead.IsSoftCheck = [&o](const std::string& name) { return o.IsSoftCheck(name); };
  // A version pre-loaded into the stage is taken from there.
  run.Stage = UsableStage(run.Home, run.Map);
  ahead.Stage = run.Stage;
  // The cores the record in its turn leaves idle unpack the archives that arrived for the
  // records after it (eight decoders in all at the most); one connection is the one-at-a-time run.
  const int jobs = jobs_ > 0 ? jobs_ : DefaultJobs();
  ahead.Unpackers = ahead.Transfers > 1 ? jobs - 1 : 0;
  run.Ahead = std::make_unique<TFetchAhead>(run.Order, ahead, &cancelEvent_, ProgressCallback());
  TRepairHost repairs(*this, run);
  for (std::size_t head = 0; head < run.Order.size();) {
    // Records that need no worker follow each other without a wait: the window's messages are
    // let through between them now and then.
    ServeMessagesNowAndThen(run);
    if (cancelled_) break;
    run.Head = head;
    run.Ahead->TopUp(head);
    const TStep step = ProcessRecord(run, repairs, *run.Order[head]);
    if (step == TStep::Ended) {
      run.Ahead.reset();
      session_->Pool.CloseAll();
      return;
    }
    if (step == TStep::Retry) continue;
    StepTotalProgress(run);
    ++head;
  }
  // Transfers a cancel left running end here; their partial files stay for the next run.
  run.Ahead.reset();
  run.FinishDiscarding();
  if (!cancelled_) RemoveWithdrawn(run);

  // The cache is to speak of files that are on the disk.
  run.SyncFolders();
  if ((run.FreshList || run.DatesChanged) && !run.UnpackFailed) {
    if (!o.Uid.empty()) {
      const std::string cacheKey = o.SettingsKey() + "\\PatchList";
      RegDeleteKeyPath(o.RootKey, cacheKey);
      SavePatchListCache(o.RootKey, cacheKey + "\\", run.Map);
    }
    o.SetLastUpdate(run.ListDate);
  }
  if (!cancelled_ && IsWebUrl(o.PatchListUrl) && (o.IsFullCheckDue() || checkRequested_)) {
    o.SetLastFullCheck(platform::NowLocal());
  }
  succeeded_ = !cancelled_ && !run.UnpackFailed;
  if (run.Map.Count() == 0) {
    ResetProgress();
    ShowInfo("");
  } else {
    if (!cancelled_) {
      filePosition_ = host_.ProgressMax();
      host_.SetFileProgress(host_.ProgressMax());
      host_.SetTotalProgress(host_.ProgressMax());
      ShowInfo(run.UnpackFailed ? Tr(kNotUpdated) : Tr(kAllChecked));
    } else {
      ResetProgress();
      ShowInfo(run.UnpackFailed ? Tr(kNotUpdated) : Tr(kCancelledByUser));
    }
    if (!host_.IsWindowVisible()) host_.ShowBalloon(Tr("Progress"), shownInfo_);
  }
  FinishRun(false);
  host_.ProcessMessages();
}

}  // namespace kova
