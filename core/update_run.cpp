#include "core/update_run.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>

#include "core/fetch_ahead.h"
#include "core/kept_document.h"
#include "core/language.h"
#include "core/options.h"
#include "core/startup.h"
#include "core/update_run_state.h"
#include "core/utility.h"
#include "net/connection_pool.h"
#include "net/url.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "support/signature.h"
#include "support/text.h"
#include "support/translation.h"
#include "workers/checksum_thread.h"
#include "workers/decompress_thread.h"
#include "workers/download_thread.h"
#include "workers/transfer_control.h"

namespace kova {

namespace {

// A document's addresses: the first, and its mirrors that are web addresses, in their order.
std::vector<std::string> WebAddresses(const std::string& primary,
                                      const std::vector<std::string>& mirrors) {
  std::vector<std::string> addresses{primary};
  for (const std::string& mirror : mirrors) {
    if (IsWebUrl(mirror)) addresses.push_back(mirror);
  }
  return addresses;
}

const char* const kAllChecked = TrNoop("All files have been checked");
const char* const kCancelledByUser = TrNoop("Check cancelled by user");
const char* const kCancelledByError = TrNoop("Check cancelled due to an error");
const char* const kNotUpdated =
    TrNoop("One or more files could not be updated. Please Check files again");
// An options document is a few kilobytes, a signature less than one: a server that sends more
// is not what it claims to be.
constexpr std::int64_t kMaxOptionsSize = 1 << 20;
constexpr std::int64_t kMaxSignatureSize = 4096;
const char* const kFolderBusy =
    TrNoop("Another launcher is updating the game folder. Please Check files again");
const char* const kPaused = TrNoop("Paused");
const char* const kKeyWithoutUid =
    TrNoop("Error in the options: a public key is pinned but no uid is given");

// Whether a file starts as a program does: an ELF header, or a "#!" line naming its interpreter.
bool StartsAsProgram(const std::string& path) {
  try {
    auto stream = platform::OpenFileStream(path, platform::TFileMode::OpenRead);
    char head[4] = {};
    const std::size_t n = stream->Read(head, sizeof head);
    return (n >= 2 && head[0] == '#' && head[1] == '!') || (n == 4 && std::memcmp(head,
                                                                                  "\x7f"
                                                                                  "ELF",
                                                                                  4) == 0);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

// A repaired file keeps the permissions of the file it replaces (a program the player made
// runnable stays runnable); a program to run gets the run bit, whether the list says so or, for
// a new file of a list that does not, its content does.
void GiveMode(const std::string& fresh, const std::string& replaced, bool executable) {
  if (!replaced.empty()) platform::CopyFileMode(replaced, fresh);
  if (executable || (replaced.empty() && StartsAsProgram(fresh))) platform::MakeExecutable(fresh);
}

std::string DisplayName(const std::string& name) {
  if (name.size() <= 40) return name;
  return "..." + name.substr(name.size() - 41);
}

int BarPosition(int max, std::int64_t done, std::int64_t total) {
  if (total <= 0) return 0;
  const double exact =
      static_cast<double>(max) * static_cast<double>(done) / static_cast<double>(total);
  const double rounded = std::nearbyint(exact);  // halves to even
  return rounded > max ? max : static_cast<int>(rounded);
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
  if (done == total) {
    platform::SendToGuiThread(apply);
  } else if (done == 0 || position != filePosition_.load()) {
    platform::PostToGuiThread(apply);
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
  TTransferControl::Shared().SetPaused(paused);
  if (running_) host_.SetInfo(paused ? Tr(kPaused) : shownInfo_);
}

void TUpdateRun::FinishRun(bool resetBars) {
  // A run that ends while paused shows how it ended.
  if (paused_ && host_.Info() != shownInfo_) host_.SetInfo(shownInfo_);
  // Connections are kept for the requests of one run only: a server's idle time-out would end
  // them long before the next one.
  TConnectionPool::Shared().CloseAll();
  if (resetBars) ResetProgress();
  lastRunCancelled_ = cancelled_;
  lastRunSucceeded_ = succeeded_ && !cancelled_;
  succeeded_ = false;
  SetRunning(false);
  SetCancelled(false);
  UpdateButtons();
}

void TUpdateRun::UpdateRun(bool fromTimer) {
  // A run already active, or a cancellation still pending, starts nothing and is left alone.
  if (cancelled_ || running_) return;
  TRunState run;
  succeeded_ = false;
  run.FromTimer = fromTimer;
  const TUpdaterOptions& o = UpdaterOptions();
  run.ProgramPath = o.ProgramPath();
  SetRunning(true);
  UpdateButtons();
  ShowInfo("");
  host_.ProcessMessages();

  // Signed documents name the game they are for; a launcher that pins a key but names no game
  // could not tell one game's publication from another's.
  if (!o.PublicKey.empty() && o.Uid.empty()) {
    EndRun(Tr(kKeyWithoutUid));
    return;
  }
  if (!FetchOptions(run)) return;
  // A launcher installed away from the game (in /usr/bin) is the system's to update, with its
  // packages: no build of the publisher's is fetched for it, nor written beside it.
  const bool installedAway =
      !GameFolder.empty() && GameFolder != ExtractFilePath(host_.ExecutablePath());
  if (run.FromTimer && !installedAway && IsWebUrl(UpdaterOptions().UpdaterUrl)) {
    SelfUpdate(run);
    if (run.Ended) return;
  }
  if (IsWebUrl(o.NewsUrl) && !host_.NewsLoaded())
    host_.NavigateNews(WebAddresses(o.NewsUrl, o.NewsMirrors));
  if (!AcquirePatchList(run)) return;
  CheckFiles(run);
}

bool TUpdateRun::FetchOptions(TRunState& run) {
  TUpdaterOptions& o = UpdaterOptions();
  if (!IsWebUrl(o.OptionsUrl)) return true;
  int rounds = 0;
  while (o.OptionsUrl != run.LastOptionsUrl) {
    // Documents that name each other in a cycle would otherwise be fetched for ever.
    if (++rounds > kMaxOptionsRounds) {
      EndRun(Tr("Error while loading options"));
      return false;
    }
    run.LastOptionsUrl = o.OptionsUrl;
    ShowInfo(Tr("Downloading options..."));
    // The options download hears a cancel too: a server that never answers must not hold a
    // Cancel, a Close or an interrupt for the whole time-out.
    TKeptDocument kept(KeptFolder(), "options");
    const TAddress where = DocumentAddress(run, o.OptionsUrl, o.OptionsMirrors);
    TFetched fetched = FetchDocument(run, kept, where, 0, kMaxOptionsSize);
    if (cancelled_) {
      EndRun(Tr(kCancelledByUser));
      return false;
    }
    // A kept copy that no longer verifies (its key changed, the file was altered) is dropped
    // and the document fetched whole.
    if (fetched.NotModified && !SignatureHolds(where, run.Stream.Data(), fetched.Signature, true)) {
      kept.Forget();
      fetched = FetchDocument(run, kept, where, 0, kMaxOptionsSize);
    }
    // A document refused (its signature, its stamp, its content) is asked of the next address.
    const auto askAnother = [&] {
      if (!AnotherAddressLeft(where, fetched.ServedBy)) return false;
      run.LastOptionsUrl.clear();
      return true;
    };
    const bool usable = fetched.Outcome == doDownloaded || fetched.NotModified;
    if (!usable || (!fetched.NotModified &&
                    !SignatureHolds(where, run.Stream.Data(), fetched.Signature, false))) {
      if (usable && askAnother()) continue;
      EndRun(Tr("Error while loading options"));
      return false;
    }
    // A downloaded document may change what the publisher runs the game with (addresses, the
    // program, checks), but not which installation this is: the identifier names the settings
    // and the instance lock, and another game's would have its cache deleted and rewritten. Nor
    // whom it trusts: the key comes only with the program.
    const std::string uid = o.Uid, key = o.PublicKey, language = o.Language;
    if (!key.empty()) {
      // An older signed document (a replay) is refused before any of it is taken.
      TOptions probe;
      bool fresh = false;
      try {
        run.Stream.Seek(0);
        probe.LoadFromStream(run.Stream);
        // Signed for this game as its options, still valid, and not older than one accepted.
        fresh = StampFits(probe.Stamp, "options", uid, TodayUtc()) &&
                AcceptSerial("OptionsSerial", probe.Stamp.Serial, run.Stream.Data());
      } catch (const std::exception&) {
        if (askAnother()) continue;
        EndRun(Tr("Error while reading options"));
        return false;
      }
      // A mirror that fell behind serves an older document: another may have the current one.
      if (!fresh) {
        if (askAnother()) continue;
        EndRun(Tr("Error while loading options"));
        return false;
      }
    }
    try {
      run.Stream.Seek(0);
      o.LoadFromStream(run.Stream);
    } catch (const std::exception&) {
      o.Uid = uid;
      o.PublicKey = key;
      EndRun(Tr("Error while reading options"));
      return false;
    }
    o.Uid = uid;
    o.PublicKey = key;
    if (o.Language != language)
      ChooseLanguage(o.Language, LanguageFolders(o.HomeDir(), host_.ExecutablePath()));
    if (!fetched.NotModified)
      kept.Save(run.LastOptionsUrl, run.Stream.Data(), fetched.Signature, fetched.ETag,
                fetched.LastModified, fetched.ServedFrom);
    run.Stream.Clear();
  }
  return true;
}

void TUpdateRun::SelfUpdate(TRunState& run) {
  ShowInfo(Tr("Checking for self-update..."));
  const TUpdaterOptions& o = UpdaterOptions();
  const std::string exePath = host_.ExecutablePath();
  const std::string newFile = ChangeFileExt(exePath, ".new.exe");
  // With a key pinned, the build to run is the one the options name by its digest and serial:
  // any other (an older build the publisher once signed, a document served as a build) is never
  // written, and a build the options do not name is not even fetched.
  const bool pinned = !o.PublicKey.empty();
  if (pinned && !WantSignedBuild(exePath)) {
    ShowInfo("");
    host_.ProcessMessages();
    return;
  }
  TDownloadOutcome outcome;
  TDateTime serverDate = 0;
  // A running build dated ahead of the clock (by an earlier version that took a server's date
  // on trust) would have every later build look older: its date is taken as unknown.
  const TDateTime ownDate = IsAheadOfClock(ExeFileDate) ? 0 : ExeFileDate;
  {
    TDownloadThread worker(DocumentAddress(run, o.UpdaterUrl, o.UpdaterMirrors),
                           pinned ? 0 : ownDate, run.Stream, &cancelEvent_, ProgressCallback());
    WaitWithMessages(worker);
    outcome = worker.Outcome;
    serverDate = worker.ServerDate;
  }
  // Without a key, a build is new when the server's date is later than the running build's: the
  // same rule as the one that stops the transfer early on an equal date.
  if (!pinned && outcome == doDownloaded && ownDate != 0 && serverDate != 0 &&
      !(serverDate - ownDate >= kMillisecondInDays))
    outcome = doNotNewer;
  // Nor is a build dated ahead of the clock taken: dated so on the disk it would freeze every
  // later update, and dated otherwise it would look new again at every start.
  if (!pinned && outcome == doDownloaded && IsAheadOfClock(serverDate)) outcome = doNotNewer;
  if (pinned && outcome == doDownloaded && Sha256Hex(run.Stream.Data()) != o.UpdaterSha256)
    outcome = doFailed;
  if (outcome == doDownloaded && serverDate != 0) ExeFileDate = serverDate;
  ShowInfo("");
  host_.ProcessMessages();
  if (outcome == doDownloaded) {
    bool written = false;
    try {
      {
        // Made where no file or link stands, and on the disk before it is started.
        auto file = platform::OpenFileStream(newFile, platform::TFileMode::Create);
        file->Write(run.Stream.Data().data(), run.Stream.Data().size());
        file->Flush();
      }
      // Started only when the whole build is on disk: a partial one would be run as the new
      // launcher and then copied over the working one.
      written = GetFileSize64(newFile) == run.Stream.Size() &&
                platform::CopyFileMode(exePath, newFile) && SetFileModifyTime(newFile, ExeFileDate);
    } catch (const std::exception&) {
      written = false;
    }
    if (written) {
      // The window closes even when the start fails; the next start finds the build dated as
      // the server's and does not fetch it again.
      ExecuteFile(newFile, "/update \"" + exePath + "\"", ExtractFilePath(newFile));
      FinishRun(true);
      run.Ended = true;
      host_.CloseWindow();
      return;
    }
  }
  run.Stream.Clear();
  platform::RemoveFile(newFile);
}

bool TUpdateRun::WantSignedBuild(const std::string& exePath) {
  const TUpdaterOptions& o = UpdaterOptions();
  if (o.UpdaterSha256.empty() || o.UpdaterSerial < 0) return false;
  const std::string path = o.SettingsKey() + "\\UpdaterSerial";
  std::string stored;
  std::int64_t highest = -1;
  if (!RegReadString(o.RootKey, path, stored) || !ParseSerial(stored, highest)) highest = -1;
  // The running build is the named one: its serial is the one to hold later documents to.
  if (DigestMatches(exePath, o.UpdaterSha256)) {
    if (o.UpdaterSerial > highest) RegWriteString(o.RootKey, path, std::to_string(o.UpdaterSerial));
    return false;
  }
  // A build older than one already run here is a rollback, however it is signed.
  return !cancelled_ && o.UpdaterSerial >= highest;
}

bool TUpdateRun::AcquirePatchList(TRunState& run) {
  TUpdaterOptions& o = UpdaterOptions();
  // A last update dated ahead of the clock (kept by an earlier version) is no date at all: the
  // list is fetched and judged by its content.
  const TDateTime lastUpdate = IsAheadOfClock(o.LastUpdate()) ? 0 : o.LastUpdate();
  run.ListDate = lastUpdate;
  run.FreshList = false;
  if (cancelled_ || !IsWebUrl(o.PatchListUrl)) return true;
  ShowInfo(Tr("Downloading patchlist..."));
  if ((o.IsFullCheckDue() || checkRequested_) && o.ReloadPatchList()) run.ListDate = 0;
  // With a key pinned every run verifies a signed list.
  const bool pinned = !o.PublicKey.empty();
  if (pinned) run.ListDate = 0;
  TKeptDocument kept(KeptFolder(), "patchlist");
  const TAddress where = DocumentAddress(run, o.PatchListUrl, o.PatchListMirrors);
  TFetched fetched = FetchDocument(run, kept, where, run.ListDate, TDownloadThread::MaxStreamBody);
  // A kept copy that no longer verifies is dropped and the list fetched whole.
  if (pinned && fetched.NotModified && !cancelled_ &&
      !SignatureHolds(where, run.Stream.Data(), fetched.Signature, true)) {
    kept.Forget();
    fetched = FetchDocument(run, kept, where, run.ListDate, TDownloadThread::MaxStreamBody);
  }
  const std::string cacheKey = o.SettingsKey() + "\\PatchList";
  // A list no newer than the one applied last is taken from the cache. When there is none (a
  // run that took a newer list ended before it kept one), the list is fetched whole: an empty
  // cache would have the run check nothing and call that a success.
  bool cacheLoaded = false;
  if (fetched.Outcome == doNotNewer && !fetched.NotModified && !cancelled_ && !o.Uid.empty()) {
    LoadPatchListCache(o.RootKey, cacheKey + "\\", run.Map);
    cacheLoaded = run.Map.Count() > 0;
    if (!cacheLoaded) fetched = FetchDocument(run, kept, where, 0, TDownloadThread::MaxStreamBody);
  }
  // "Not modified" without a date of its own leaves the date of the list applied last. A date
  // ahead of the clock (a server's or mirror's clock gone wrong) is not kept as the last update:
  // every later list would look older. None is kept instead, so the next run asks for the list
  // again and judges it by what it lists.
  run.ListDate = fetched.NotModified && fetched.ServerDate == 0 ? lastUpdate : fetched.ServerDate;
  if (IsAheadOfClock(run.ListDate)) run.ListDate = 0;
  TDownloadOutcome outcome = fetched.Outcome;
  if (fetched.NotModified) {
    // Unchanged: a signed list is judged again from its kept copy, as when it is downloaded;
    // any other is taken from the cache as a list that is not newer, unless there is no cache.
    if (pinned) {
      outcome = doDownloaded;
    } else {
      LoadPatchListCache(o.RootKey, cacheKey + "\\", run.Map);
      if (run.Map.Count() == 0) outcome = doDownloaded;
    }
  }
  ShowInfo("");
  host_.ProcessMessages();
  if (outcome == doFailed) {
    if (!cancelled_) {
      EndRun(Tr("Error while loading patchlist"));
      return false;
    }
  } else if (outcome == doDownloaded) {
    if (!fetched.NotModified &&
        !SignatureHolds(where, run.Stream.Data(), fetched.Signature, false)) {
      if (AnotherAddressLeft(where, fetched.ServedBy)) return AcquirePatchList(run);
      EndRun(Tr("Error while loading patchlist"));
      return false;
    }
    run.Map.Clear(true);
    TDocumentStamp stamp;
    try {
      run.Stream.Seek(0);
      LoadPatchList(run.Stream, run.Map, &stamp);
    } catch (const std::exception&) {
      if (AnotherAddressLeft(where, fetched.ServedBy)) return AcquirePatchList(run);
      EndRun(Tr("Error while reading patchlist"));
      return false;
    }
    if (pinned) {
      // A signed list gives the digests of every archive and file.
      bool complete = true;
      for (auto it = run.Map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next())
        complete = complete && IsSha256Hex(item->Sha256) && IsSha256Hex(item->FileItem->Sha256);
      if (!complete) {
        run.Map.Clear(true);
        if (AnotherAddressLeft(where, fetched.ServedBy)) return AcquirePatchList(run);
        EndRun(Tr("Error while reading patchlist"));
        return false;
      }
      // Another game's list, or another kind of document, is refused before its serial counts.
      if (!StampFits(stamp, "list", o.Uid, TodayUtc()) ||
          !AcceptSerial("PatchListSerial", stamp.Serial, run.Stream.Data())) {
        run.Map.Clear(true);
        // A mirror that fell behind serves an older list: another may have the current one.
        if (AnotherAddressLeft(where, fetched.ServedBy)) return AcquirePatchList(run);
        EndRun(Tr("Error while loading patchlist"));
        return false;
      }
    }
    // A signed list is fetched at every run; the dates the cache holds for records it lists
    // unchanged still spare the reads of unchanged files.
    run.FreshList = !pinned || !TakeCachedDates(o.RootKey, cacheKey + "\\", run.Map);
    if (run.FreshList && !o.Uid.empty()) {
      NoteDeparted(run, cacheKey + "\\");
      RegDeleteKeyPath(o.RootKey, cacheKey);
    }
    if (!fetched.NotModified)
      kept.Save(o.PatchListUrl, run.Stream.Data(), fetched.Signature, fetched.ETag,
                fetched.LastModified, fetched.ServedFrom);
  } else if (!o.Uid.empty() && !fetched.NotModified && !cacheLoaded) {
    LoadPatchListCache(o.RootKey, cacheKey + "\\", run.Map);
  }
  run.Stream.Clear();
  return true;
}

std::string TUpdateRun::KeptFolder() const {
  return TKeptDocument::FolderFor(platform::SettingsFolder(), UpdaterOptions().Uid);
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

void TUpdateRun::WaitFetchingAhead(TRunState& run, TWaitingThread& worker) {
  // A transfer fetched ahead that ends wakes the wait: its place goes to the next archive at
  // once, not only when the record in its turn is done.
  platform::WaitUntilServingMessages([&] {
    if (worker.DoneEvent.IsSet()) return true;
    run.Ahead->TopUp(run.Head, run.HeadTransfer && !run.HeadTransfer->DoneEvent.IsSet());
    return false;
  });
}

void TUpdateRun::StepTotalProgress(TRunState& run) {
  ++run.Processed;
  const int position = BarPosition(host_.ProgressMax(), static_cast<std::int64_t>(run.Processed),
                                   static_cast<std::int64_t>(run.Total));
  if (position != host_.TotalProgress()) host_.SetTotalProgress(position);
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
        run.CachedDates[item] = item->FileItem->FileDate;
        item->FileItem->FileDate = 0;
      }
    }
  }
  run.Published =
      std::make_shared<TSource>(FolderBases(WebAddresses(o.PatchListUrl, o.PatchListMirrors)));
  run.Processed = 0;
  run.Total = run.Map.Count();
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
  ResetProgress();
  ShowInfo(Tr("Checking files..."));
  host_.ProcessMessages();

  std::set<std::string> stems;
  for (auto it = run.Map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next()) {
    run.Order.push_back(item);
    const std::string stem = TRecord::StemOf(LocalPath(run.Home, item->FileItem->FileName));
    if (!stems.insert(stem).second) run.SharedStems.insert(stem);
  }
  TFetchAhead::TSettings ahead;
  ahead.Home = run.Home;
  ahead.Published = run.Published;
  ahead.Transfers = o.TransferCount();
  ahead.Sha256 = !o.PublicKey.empty();
  ahead.OlderCopies = !run.Departed.empty();
  ahead.IsSoftCheck = [&o](const std::string& name) { return o.IsSoftCheck(name); };
  run.Ahead = std::make_unique<TFetchAhead>(run.Order, ahead, &cancelEvent_, ProgressCallback());
  for (std::size_t head = 0; head < run.Order.size();) {
    // Records that need no worker follow each other without a wait: the window's messages are
    // let through between them now and then.
    ServeMessagesNowAndThen(run);
    if (cancelled_) break;
    run.Head = head;
    run.Ahead->TopUp(head);
    const TStep step = ProcessRecord(run, *run.Order[head]);
    if (step == TStep::Ended) {
      run.Ahead.reset();
      TConnectionPool::Shared().CloseAll();
      return;
    }
    if (step == TStep::Retry) continue;
    StepTotalProgress(run);
    ++head;
  }
  // Transfers a cancel left running end here; their partial files stay for the next run.
  run.Ahead.reset();

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

TAddress TUpdateRun::DocumentAddress(TRunState& run, const std::string& primary,
                                     const std::vector<std::string>& mirrors) {
  std::shared_ptr<TSource>& source = run.Documents[primary];
  if (!source) source = std::make_shared<TSource>(WebAddresses(primary, mirrors));
  return TAddress(source, "");
}

bool TUpdateRun::AnotherAddressLeft(const TAddress& where, int servedBy) {
  if (servedBy < 0) return false;
  where.Source->NoteFailed(static_cast<std::size_t>(servedBy));
  return !where.Source->AllFailed();
}

bool TUpdateRun::SignatureHolds(const TAddress& document, const std::string& data,
                                std::string& signature, bool kept) {
  const std::string& keyText = UpdaterOptions().PublicKey;
  if (keyText.empty()) return true;
  std::string key;
  if (!DecodePublicKey(keyText, key)) return false;  // a key that is no key trusts nothing
  if (!kept) {
    TMemoryStream fetched;
    TDownloadOutcome outcome;
    {
      TDownloadThread worker(TAddress(document.Source, document.Path + ".sig"), 0, fetched,
                             &cancelEvent_, nullptr, kMaxSignatureSize);
      WaitWithMessages(worker);
      outcome = worker.Outcome;
    }
    if (outcome != doDownloaded) return false;
    signature = fetched.Data();
  }
  return VerifySignature(data, signature, key);
}

TUpdateRun::TFetched TUpdateRun::FetchDocument(TRunState& run, TKeptDocument& kept,
                                               const TAddress& where, TDateTime localDate,
                                               std::int64_t maxBody) {
  // Kept by the first address: every mirror serves the same document. A copy kept from the
  // last run is asked for by its validators, of the address that gave them: an unchanged
  // document costs a short answer instead of its whole body. The body may come compressed.
  const std::string& url = where.Source->Base(0);
  TConditions conditions;
  if (kept.Load(url)) conditions = TConditions{kept.From, kept.ConditionalHeaders()};
  TFetched fetched;
  run.Stream.Clear();
  TDownloadThread worker(where, localDate, run.Stream, &cancelEvent_, ProgressCallback(), maxBody,
                         {"Accept-Encoding: gzip"}, conditions);
  WaitWithMessages(worker);
  fetched.Outcome = worker.Outcome;
  fetched.NotModified = worker.NotModified;
  fetched.ServerDate = worker.ServerDate;
  fetched.ETag = worker.ETag;
  fetched.LastModified = worker.LastModifiedText;
  fetched.ServedBy = worker.ServedBy;
  if (worker.ServedBy >= 0)
    fetched.ServedFrom = where.Source->Base(static_cast<std::size_t>(worker.ServedBy));
  if (fetched.NotModified) {
    run.Stream.Clear();
    run.Stream.Write(kept.Body.data(), kept.Body.size());
    fetched.Signature = kept.Signature;
  }
  run.Stream.Seek(0);
  return fetched;
}

bool TUpdateRun::AcceptSerial(const char* name, std::int64_t serial, const std::string& data) {
  if (serial < 0) return false;  // a signed document carries its serial
  const TUpdaterOptions& o = UpdaterOptions();
  if (o.Uid.empty()) return true;
  const std::string path = o.SettingsKey() + "\\" + name;
  // Stored as "SERIAL DIGEST": a document that reuses an accepted serial must be that very
  // document (read again), never another one signed with the same number.
  const std::string digest = Sha256Hex(data);
  std::string stored;
  std::int64_t highest = -1;
  std::string storedDigest;
  if (RegReadString(o.RootKey, path, stored)) {
    const std::size_t blank = stored.find(' ');
    if (!ParseSerial(stored.substr(0, blank), highest)) highest = -1;
    if (blank != std::string::npos) storedDigest = stored.substr(blank + 1);
  }
  if (serial < highest) return false;
  if (serial == highest && !storedDigest.empty()) return storedDigest == digest;
  RegWriteString(o.RootKey, path, std::to_string(serial) + " " + digest);
  return true;
}

bool TUpdateRun::DigestMatches(const std::string& path, const std::string& digest) {
  TChecksumThread worker(path, &cancelEvent_, nullptr, true);
  WaitWithMessages(worker);
  return !worker.HasError() && !cancelled_ && worker.Sha256 == digest;
}

TUpdateRun::TStep TUpdateRun::ProcessRecord(TRunState& run, TPatchItem& item) {
  const TRecord record(run, item);
  // A path the system cannot take (with the longest name made beside it, the archive's partial
  // file) is refused for this record alone: it is reported as not updated, and the others go on.
  if (record.Local.size() + std::strlen(kArchiveSuffix) +
          std::strlen(TDownloadThread::kPartSuffix) >
      platform::MaxPathLength()) {
    run.UnpackFailed = true;
    return TStep::Next;
  }
  bool intact = false;
  if (const auto step = Look(run, record, intact)) return *step;
  if (intact) {
    run.Ahead->Drop(item);
    return TStep::Next;
  }
  if (!run.SpaceChecked) {
    run.SpaceChecked = true;
    if (const auto step = CheckFreeSpace(run)) return *step;
    platform::FaultPoint("space-checked");
    run.Ahead->Allow();
  }
  // Repair: nothing is written through a link in the game folder (a player's "saves" link to
  // another disk, say): such a file is reported as not updated, like one that cannot be written.
  if (!platform::IsRealFolderChain(run.Home, BackslashToSlash(record.Name))) {
    run.UnpackFailed = true;
    return TStep::Next;
  }
  if (!record.Target.ChunkIndex.empty()) {
    bool done = false;
    if (const auto step = RepairByChunks(run, record, done)) return *step;
    if (done) return TStep::Next;
    if (const auto step = CheckArchiveSpace(run, record)) return *step;
  }
  if (const auto step = Fetch(run, record)) return *step;
  if (const auto step = WaitForGame(run)) return *step;
  const bool unpacked = Unpack(run, record);
  Replace(run, record, unpacked);
  return TStep::Next;
}

std::optional<TUpdateRun::TStep> TUpdateRun::Look(TRunState& run, const TRecord& record,
                                                  bool& intact) {
  const TUpdaterOptions& o = UpdaterOptions();
  TFileItem& target = record.Target;
  const std::string& name = record.Name;
  const std::string& local = record.Local;
  std::uint32_t a = 0;
  std::int32_t b = 0;
  std::int64_t size = -1;
  // A record whose date was reset is read whatever its size and date say (soft-check files
  // aside), so one look from the checksum worker serves for its date; otherwise the file is
  // looked at here first.
  const bool mustRead = target.FileDate == 0 && !o.IsSoftCheck(name);
  // A file that must be read is opened here: the open tells whether it exists, and the worker
  // goes on with it. When it cannot be opened, a file that exists still goes to the worker, which
  // reports the error.
  std::unique_ptr<TStream> opened;
  bool exists;
  if (mustRead) {
    try {
      opened = platform::OpenFileStream(local, platform::TFileMode::OpenRead);
      exists = true;
    } catch (const std::exception&) {
      exists = platform::FileExists(local);
    }
  } else {
    exists = GetFileSizeAndDosDate(local, size, b);
  }
  if (!exists) {
    b = 0;
    a = ~target.Checksum;  // never matches: a missing file is always repaired
  } else if (!mustRead && ((size == target.Size && b == target.FileDate) || o.IsSoftCheck(name))) {
    a = target.Checksum;
  } else {
    ShowInfo(TrFormat("Checking %s", {record.Display}));
    bool failed = false;
    int code = 0;
    std::int64_t seconds = -1;
    if (!opened && size <= TChecksumThread::kInlineSize) {
      try {
        opened = platform::OpenFileStream(local, platform::TFileMode::OpenRead);
      } catch (const std::exception&) {
        // the worker meets the same fault and reports it
      }
    }
    // With a key pinned a file that is read is judged by the signed SHA-256 as well.
    std::string digest;
    if (opened && opened->Size() <= TChecksumThread::kInlineSize) {
      // A small file is read here, between messages: handing it to a worker and back costs
      // more than reading it, and it keeps the window waiting no longer than a message does.
      SetFilePosition(0);
      try {
        a = ChecksumSmallFile(*opened, record.Verify ? &digest : nullptr);
      } catch (const Exception& e) {
        failed = true;
        code = e.OsError();
      } catch (const std::exception&) {
        failed = true;
      }
      if (!platform::StreamModifySeconds(*opened, seconds)) seconds = -1;
      opened.reset();
      if (!failed) SetFilePosition(host_.ProgressMax());
      ServeMessagesNowAndThen(run);
    } else {
      TChecksumThread worker(local, std::move(opened), &cancelEvent_, ProgressCallback(),
                             record.Verify);
      WaitFetchingAhead(run, worker);
      a = worker.Crc;
      failed = worker.HasError();
      code = worker.ErrorCode();
      seconds = worker.FileSeconds;
      digest = worker.Sha256;
    }
    if (record.Verify && !failed && a == target.Checksum && digest != target.Sha256)
      a = ~target.Checksum;
    if (mustRead) b = seconds >= 0 ? PackDosDate(seconds) : -1;
    if (cancelled_) return EndRecordWalk(Tr(kCancelledByUser));
    if (failed) {
      const TBoxResult answer = host_.RetryBox(
          TBoxKind::CheckError,
          TrFormat("Error while checking %s. Error code: %d", {name, std::to_string(code)}));
      if (answer == TBoxResult::Retry) return TStep::Retry;
      return EndRecordWalk(Tr(kCancelledByError));
    }
  }
  if (a == target.Checksum && b != target.FileDate) {
    const auto cached = run.CachedDates.find(&record.Item);
    const bool sameAsCached = cached != run.CachedDates.end() && cached->second == b;
    target.FileDate = b;
    if (!run.DatesChanged && !o.IsHardCheck(name) && !sameAsCached) run.DatesChanged = true;
  }
  intact = a == target.Checksum;
  return std::nullopt;
}

std::optional<TUpdateRun::TStep> TUpdateRun::Fetch(TRunState& run, const TRecord& record) {
  const TPatchItem& item = record.Item;
  // The archive must match its listed CRC-32 before anything is touched.
  platform::ForceDirectories(ExtractFilePath(record.Local));
  ShowInfo(TrFormat("Downloading %s", {record.Display}));
  std::uint32_t u = ~item.Checksum;
  // An archive fetched ahead is judged below as one fetched now; any other found there is a
  // leftover of an earlier run, checked before it is used.
  std::unique_ptr<TDownloadThread> fetched = run.Ahead->Take(item);
  if (!fetched && platform::FileExists(record.Archive)) {
    {
      TChecksumThread worker(record.Archive, &cancelEvent_, nullptr, record.Verify);
      WaitWithMessages(worker);
      u = worker.Crc;
      if (record.Verify && worker.Sha256 != item.Sha256) u = ~item.Checksum;
    }
    if (cancelled_) return EndRecordWalk(Tr(kCancelledByUser));
    if (u != item.Checksum) platform::RemoveFile(record.Archive);
  }
  // A copy that does not match its checksum may come from a cache on the way that kept an old
  // one, or from a mirror that holds a broken one: it is fetched again, from the next address
  // first, asking every cache to check with the server; at most once from each address more.
  bool revalidate = false;
  std::size_t wrongCopies = 0;
  while (u != item.Checksum) {
    TDownloadOutcome outcome = doFailed;
    std::string digest;
    int servedBy = -1;
    try {
      std::unique_ptr<TDownloadThread> worker = std::move(fetched);
      if (!worker)
        worker = std::make_unique<TDownloadThread>(
            TAddress(run.Published, ArchivePath(item)), record.Archive, 0, &cancelEvent_,
            ProgressCallback(), revalidate, ArchiveSizeBound(record.Target.Size), record.Verify);
      // Known to the top-ups while it runs, and forgotten before it goes, whatever happens.
      struct TShown {
        const TDownloadThread*& Slot;
        ~TShown() { Slot = nullptr; }
      } shown{run.HeadTransfer};
      run.HeadTransfer = worker.get();
      WaitFetchingAhead(run, *worker);
      outcome = worker->Outcome;
      // An archive fetched ahead may have arrived before its turn, while the bar showed another
      // file: it shows this one's download as done.
      if (outcome == doDownloaded && filePosition_ != host_.ProgressMax())
        SetFilePosition(host_.ProgressMax());
      worker->Finish();
      u = worker->Crc;
      digest = worker->Sha256;
      servedBy = worker->ServedBy;
    } catch (const std::exception&) {
      outcome = doFailed;  // the partial file could not be opened or created
    }
    // A resumed download saw only its end: the whole archive is read for its digest then.
    if (record.Verify && outcome == doDownloaded && u == item.Checksum &&
        (digest.empty() ? !DigestMatches(record.Archive, item.Sha256) : digest != item.Sha256))
      u = ~item.Checksum;
    if (cancelled_) return EndRecordWalk(Tr(kCancelledByUser));
    if (outcome != doDownloaded) {
      const TBoxResult answer = host_.RetryBox(
          TBoxKind::DownloadError, TrFormat("Error while downloading patch for %s", {record.Name}));
      if (answer == TBoxResult::Retry || answer == TBoxResult::TimedOut) return TStep::Retry;
      return EndRecordWalk(Tr(kCancelledByError));
    }
    if (u == item.Checksum || ++wrongCopies > run.Published->Count()) break;
    if (servedBy >= 0) run.Published->NoteFailed(static_cast<std::size_t>(servedBy));
    platform::RemoveFile(record.Archive);
    revalidate = true;
  }
  ShowInfo(TrFormat("Unpacking %s", {record.Display}));
  if (u != item.Checksum) {
    ShowInfo(TrFormat("Error while checking patch for %s", {record.Name}));
    platform::RemoveFile(record.Archive);
    FinishRun(true);
    return TStep::Ended;
  }
  return std::nullopt;
}

std::optional<TUpdateRun::TStep> TUpdateRun::WaitForGame(TRunState& run) {
  // Only a program file that exists can be running (the scan of all processes costs more than
  // unpacking a small file, and a game without a program to start has none).
  while (!run.ProgramPath.empty() && platform::FileExists(run.ProgramPath) &&
         FindProcessByPath(run.ProgramPath) != 0) {
    const TBoxResult answer = host_.RetryBox(
        TBoxKind::RunningGame,
        TrFormat("Please, close running  %s to proceed", {ExtractFileName(run.ProgramPath)}));
    if (answer == TBoxResult::Cancel) return EndRecordWalk(Tr(kCancelledByUser));
  }
  return std::nullopt;
}

std::string TUpdateRun::TRecord::StemOf(const std::string& local) {
  return UpperCaseAscii(ChangeFileExt(local, ""));
}

bool TUpdateRun::TRecord::MoveToBackup() const {
  // A backup left by an interrupted earlier repair would block this one; the file in place is
  // the one to keep until the new copy is ready.
  if (platform::FileExists(Local)) {
    platform::RemoveFile(Backup);
    if (!OldBackup.empty()) platform::RemoveFile(OldBackup);
  }
  // Only a file is moved aside: a folder standing where the file belongs is the player's, and
  // the new copy then fails to take its place.
  return platform::FileExists(Local) && platform::MoveFileNoReplace(Local, Backup);
}

void TUpdateRun::TRecord::RestoreBackup() const {
  // The move never replaces a file in place; a backup an earlier version left under the old
  // name goes back only when this version's is not there.
  if (!platform::MoveFileNoReplace(Backup, Local) && !OldBackup.empty() &&
      !platform::FileExists(Backup))
    platform::MoveFileNoReplace(OldBackup, Local);
}

void TUpdateRun::TRecord::RemoveLeftovers() const {
  for (const std::string* path : {&Backup, &Fresh, &OldBackup, &OldFresh})
    if (!path->empty()) platform::RemoveFile(*path);
}

bool TUpdateRun::Unpack(TRunState& run, const TRecord& record) {
  // The new copy is written beside the old file, which keeps its name meanwhile: a kill while a
  // large file unpacks leaves the old file in place, not only its backup.
  platform::RemoveFile(record.Fresh);
  if (!record.OldFresh.empty()) platform::RemoveFile(record.OldFresh);
  bool unpackFailed;
  bool wrongArchive;
  std::string freshDigest;
  {
    TDecompressThread worker(record.Archive, record.Fresh, ProgressCallback(), record.Target.Size,
                             record.Verify);
    WaitFetchingAhead(run, worker);
    unpackFailed = worker.HasError();
    // What was unpacked must be the archive that was checked, and what it gave the listed file:
    // the archive's name may have been given another file since its check.
    wrongArchive =
        worker.Oversized || (!unpackFailed && (worker.InputCrc != record.Item.Checksum ||
                                               worker.OutputCrc != record.Target.Checksum ||
                                               worker.Produced != record.Target.Size));
    freshDigest = worker.Sha256;
  }
  // An archive that unpacks to more than its file's size, or to another file, is no good: kept,
  // it would be unpacked again at every run. The new copy must also be the very file that was
  // signed before it takes the old one's place.
  if (wrongArchive || (!unpackFailed && record.Verify && freshDigest != record.Target.Sha256)) {
    unpackFailed = true;
    platform::RemoveFile(record.Archive);
  }
  if (unpackFailed) return false;
  // Whole and checked: now the old file steps aside for it.
  const bool movedToBackup = record.MoveToBackup();
  platform::FaultPoint("after-backup");
  GiveMode(record.Fresh, movedToBackup ? record.Backup : std::string(), record.Target.Executable);
  platform::FaultPoint("before-final-move");
  return true;
}

void TUpdateRun::Replace(TRunState& run, const TRecord& record, bool unpacked) {
  const TUpdaterOptions& o = UpdaterOptions();
  if (unpacked && platform::MoveFileNoReplace(record.Fresh, record.Local)) {
    run.RenamedInto.insert(ExtractFilePath(record.Local));
    platform::RemoveFile(record.Archive);
    record.RemoveLeftovers();
    record.Target.FileDate = GetFileDosDate(record.Local);
    if (!run.DatesChanged && !o.IsHardCheck(record.Name)) run.DatesChanged = true;
    return;
  }
  // The new copy did not take the file's place: the old file goes back, the archive stays for the
  // next run, and the record keeps its date so nothing is taken as up to date.
  // A backup left by an interrupted earlier run goes back too: it is the player's file, and the
  // move never replaces a file that is in place.
  run.UnpackFailed = true;
  platform::RemoveFile(record.Fresh);
  record.RestoreBackup();
}

}  // namespace kova
