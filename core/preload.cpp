// The pre-load: once the game is up to date, the next version's list and what it needs that the
// game folder lacks (its new and changed files, from their chunks or archives) are fetched into
// the stage at a low rate, each file checked as a repair checks it. The stage is bounded by the
// publisher's cap and by the disk, and goes once the release is installed or the next list is
// gone; a next list that changes takes what of the stage still serves it.

#include "core/preload.h"

#include <algorithm>
#include <memory>

#include "core/fetch_ahead.h"
#include "core/kept_document.h"
#include "core/options.h"
#include "core/update_run_state.h"
#include "core/utility.h"
#include "platform/files.h"
#include "support/signature.h"
#include "support/text.h"
#include "support/translation.h"
#include "workers/download_thread.h"
#include "workers/transfer_session.h"

namespace kova {

namespace {

const char* const kPreloading = TrNoop("Pre-loading the next version: %s of %s MB");
const char* const kPreloaded = TrNoop("The next version is pre-loaded");
// The next list kept in the stage: what its pieces are for.
const char* const kStageList = "list.xml";

std::string FilesOf(const std::string& stage) {
  return stage + "files/";
}

std::string ReadIfThere(const std::string& path) {
  try {
    return platform::FileExists(path)
               ? platform::ReadFileWhole(path, TDownloadThread::MaxStreamBody)
               : std::string();
  } catch (const std::exception&) {
    return {};
  }
}

// The records of a list document; false when it does not read.
bool ReadList(const std::string& text, TPatchMap& map, TDocumentStamp* stamp = nullptr) {
  try {
    TMemoryStream stream;
    stream.Write(text.data(), text.size());
    stream.Seek(0);
    LoadPatchList(stream, map, stamp);
    return true;
  } catch (const std::exception&) {
    map.Clear(true);
    return false;
  }
}

}  // namespace

std::string StageFolder(const std::string& home) {
  return home + kStageFolder + "/";
}

bool NamesStage(TPatchMap& map) {
  return NamesFolder(map, kStageFolder);
}

bool NamesFolder(TPatchMap& map, const char* top) {
  const std::string folder = UpperCaseAscii(top);
  for (auto it = map.Iterate(); const TPatchItem* item = it->CurrentValue(); it->Next()) {
    const std::string& name = item->FileItem->FileName;
    const std::string first = UpperCaseAscii(name.substr(0, name.find('\\')));
    if (first == folder) return true;
  }
  return false;
}

std::string UsableStage(const std::string& home, TPatchMap& map) {
  const std::string stage = StageFolder(home), files = FilesOf(stage);
  if (!platform::DirectoryExists(files) || platform::IsSymbolicLink(home + kStageFolder) ||
      platform::IsSymbolicLink(files.substr(0, files.size() - 1)) || NamesStage(map))
    return {};
  return files;
}

bool SameTarget(const TPatchItem& a, const TPatchItem& b) {
  const TFileItem &x = *a.FileItem, &y = *b.FileItem;
  return x.FileName == y.FileName && x.Size == y.Size && x.Checksum == y.Checksum &&
         x.Sha256 == y.Sha256;
}

void RemoveStagedPieces(const std::string& files, const TPatchItem& item) {
  if (!platform::IsRealFolderChain(files, BackslashToSlash(item.FileItem->FileName))) return;
  const std::string local = LocalPath(files, item.FileItem->FileName);
  const std::string archive = LocalPath(files, item.FileName);
  for (const std::string& path :
       {local, FreshPath(local), archive, archive + TDownloadThread::kPartSuffix})
    platform::RemoveFile(path);
  RemoveTree(local + ".kovachunks");
}

void TUpdateRun::Preload(TRunState& run) {
  const TUpdaterOptions& o = UpdaterOptions();
  if (NamesStage(run.Map)) return;  // the folder is the game's
  const std::string stage = StageFolder(run.Home);
  // The release is installed (every file the stage was for is as listed): it is done with.
  // The next list the stage was made for, read once.
  std::string stagedList = ReadIfThere(stage + kStageList);
  if (!stagedList.empty()) {
    TPatchMap staged;
    bool installed = ReadList(stagedList, staged);
    for (auto it = staged.Iterate(); const TPatchItem* item = it->CurrentValue(); it->Next()) {
      const TPatchItem* listed = run.Map.Get(item->FileItem->FileName);
      installed = installed && listed && SameTarget(*listed, *item);
    }
    staged.Clear(true);
    if (installed) {
      RemoveTree(stage);
      stagedList.clear();
    }
  }
  if (!IsWebUrl(o.NextPatchListUrl)) {
    RemoveTree(stage);  // the publisher withdrew the next version
    preloadComplete_ = true;
    return;
  }
  if (!preload_ || run.Bundle) return;

  preloading_ = true;
  preloadComplete_ = false;
  preloadText_.clear();
  ApplySpeedLimit();
  UpdateButtons();
  struct TStop {
    TUpdateRun& Run;
    ~TStop() {
      Run.preloading_ = false;
      Run.ApplySpeedLimit();
      Run.session_->Pool.CloseAll();
      Run.SetCancelled(false);
      Run.UpdateButtons();
    }
  } stop{*this};
  TRunState next;
  next.Preload = true;
  reason_.clear();
  if (!AcquireNextList(next, stage, stagedList)) {
    host_.SetTransfer("");
    host_.SetStatusTip("");
    if (!reason_.empty() && !cancelled_) host_.ShowReason(reason_);
    reason_.clear();
    return;
  }
  next.Home = FilesOf(stage);
  next.SeedHome = run.Home;
  next.ArchivePrefix = kNextFolder;
  next.Published = std::make_shared<TSource>(
      FolderBases(WebAddresses(o.NextPatchListUrl, o.NextPatchListMirrors)));
  next.SpaceChecked = true;
  // What the game folder lacks: the records the next list gives otherwise than the list.
  std::int64_t need = 0, largest = 0;
  for (auto it = next.Map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next()) {
    const TPatchItem* now = run.Map.Get(item->FileItem->FileName);
    if (now && SameTarget(*now, *item)) continue;
    item->FileItem->MustRead = true;
    next.Order.push_back(item);
    const std::int64_t size = item->FileItem->Size;
    next.PreloadBytes += size;
    if (platform::FileSize(LocalPath(next.Home, item->FileItem->FileName)) == size) continue;
    need += size;
    largest = std::max(largest, size);
  }
  // Bounded by the publisher's cap, and never into the last twentieth of the disk.
  std::int64_t total = 0;
  const std::int64_t free = platform::FreeDiskSpace(run.Home, &total);
  if (o.PreloadCap > 0 && next.PreloadBytes > o.PreloadCap) {
    next.PreloadEnd =
        o.NextPatchListUrl + ": " +
        TrFormat("the next version needs %s MB, more than the %s MB it may take",
                 {Megabytes(next.PreloadBytes, true), Megabytes(o.PreloadCap, false)});
  } else if (free >= 0 && free - need - largest < total / 20) {
    next.PreloadEnd =
        o.NextPatchListUrl + ": " +
        TrFormat(
            "the next version needs %s MB more on the disk, which would leave less than 5 percent "
            "free",
            {Megabytes(need + largest, true)});
  } else if (!next.Order.empty()) {
    PreloadRecords(next);
  }
  host_.SetStatusTip("");
  if (cancelled_) {
    host_.SetTransfer("");
    return;
  }
  if (!next.PreloadEnd.empty() || next.UnpackFailed) {
    host_.SetTransfer("");
    // A piece's reason names its own address; the pre-load's own ones name the next list.
    host_.ShowReason(next.PreloadEnd.empty() ? Tr("One or more files could not be pre-loaded")
                                             : next.PreloadEnd);
    return;
  }
  preloadComplete_ = true;
  if (!next.Order.empty()) preloadText_ = Tr(kPreloaded);
  host_.SetTransfer(preloadText_);
  host_.SetStatusTip(preloadText_);
  if (next.Order.empty()) RemoveTree(stage);  // the next version is the installed one
}

bool TUpdateRun::AcquireNextList(TRunState& next, const std::string& stage,
                                 const std::string& before) {
  const TUpdaterOptions& o = UpdaterOptions();
  const bool pinned = !o.PublicKey.empty();
  host_.SetTransfer(TrFormat(kPreloading, {Megabytes(0, false), "?"}));
  TKeptDocument kept(KeptFolder(), "nextlist");
  const TAddress where = DocumentAddress(next, o.NextPatchListUrl, o.NextPatchListMirrors);
  TFetched fetched = FetchDocument(next, kept, where, 0, TDownloadThread::MaxStreamBody);
  if (cancelled_) return false;
  if (fetched.NotModified && !SignatureHolds(where, next.Stream.Data(), fetched.Signature, true)) {
    kept.Forget();
    fetched = FetchDocument(next, kept, where, 0, TDownloadThread::MaxStreamBody);
  }
  if (fetched.Outcome == doFailed || fetched.Outcome == doCancelled) {
    // Gone from the server: the publisher released it, or withdrew it.
    if (fetched.Status == 404 || fetched.Status == 410) {
      RemoveTree(stage);
      reason_.clear();
      preloadComplete_ = true;
    }
    return false;
  }
  const std::string data = next.Stream.Data();
  const std::string url = where.FirstUrl();
  if (!fetched.NotModified && !SignatureHolds(where, data, fetched.Signature, false)) return false;
  TDocumentStamp stamp;
  if (!ReadList(data, next.Map, &stamp)) {
    reason_ = url + ": " + Tr("the list could not be read");
    return false;
  }
  const char* misfit = stamp.Kind != "nextlist"
                           ? TrNoop("the document is not a next version's list")
                       : pinned ? StampMisfit(stamp, "nextlist", o.Uid, TodayUtc())
                                : nullptr;
  bool complete = true;
  if (pinned)
    for (auto it = next.Map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next())
      complete = complete && IsSha256Hex(item->Sha256) && IsSha256Hex(item->FileItem->Sha256);
  if (!misfit && !complete) misfit = TrNoop("a signed list must give the SHA-256 of every file");
  if (!misfit && NamesStage(next.Map))
    misfit = TrNoop("the list names a file in the launcher's stage");
  if (!misfit && pinned && !AcceptSerial("NextListSerial", stamp.Serial, data))
    misfit = TrNoop("the list is older than the one installed");
  if (misfit) {
    reason_ = url + ": " + Tr(misfit);
    next.Map.Clear(true);
    return false;
  }
  if (!fetched.NotModified)
    kept.Save(o.NextPatchListUrl, data, fetched.Signature, fetched.ETag, fetched.LastModified,
              fetched.ServedFrom);
  // A stage made for another next list keeps only what still serves this one.
  const std::string copy = stage + kStageList;
  if (before != data) {
    TPatchMap old;
    if (before.empty() || !ReadList(before, old)) {
      RemoveTree(stage);
    } else {
      for (auto it = old.Iterate(); const TPatchItem* item = it->CurrentValue(); it->Next()) {
        const TPatchItem* now = next.Map.Get(item->FileItem->FileName);
        if (!now || !SameTarget(*now, *item)) RemoveStagedPieces(FilesOf(stage), *item);
      }
    }
    old.Clear(true);
    try {
      if (platform::IsSymbolicLink(stage.substr(0, stage.size() - 1))) RemoveTree(stage);
      platform::ForceDirectories(FilesOf(stage));
      WriteFileWhole(copy, data);
    } catch (const std::exception& e) {
      reason_ = copy + ": " + e.what();
      return false;
    }
  }
  next.Stream.Clear();
  return true;
}

void TUpdateRun::PreloadRecords(TRunState& next) {
  const TUpdaterOptions& o = UpdaterOptions();
  next.ReceivedBefore = session_->Control.Received();
  TFetchAhead::TSettings ahead;
  ahead.Home = next.Home;
  ahead.Published = next.Published;
  ahead.Session = session_.get();
  ahead.ArchivePrefix = next.ArchivePrefix;
  ahead.Sha256 = !o.PublicKey.empty();
  // One file at a time, one transfer, one core: the player is playing.
  ahead.Transfers = 1;
  next.Ahead = std::make_unique<TFetchAhead>(next.Order, ahead, &cancelEvent_, nullptr);
  TRepairHost repairs(*this, next);
  ShowPreload(next, true);
  for (std::size_t head = 0; head < next.Order.size();) {
    ServeMessagesNowAndThen(next);
    if (cancelled_) break;
    next.Head = head;
    next.RecordReceived = session_->Control.Received();
    const TStep step = ProcessRecord(next, repairs, *next.Order[head]);
    if (step == TStep::Ended || !next.PreloadEnd.empty()) break;
    if (step == TStep::Retry) continue;
    next.PreloadStaged += next.Order[head]->FileItem->Size;
    ShowPreload(next, false);
    ++head;
  }
  next.Ahead.reset();
  next.SyncFolders();
  if (!cancelled_ && next.PreloadEnd.empty() && next.UnpackFailed == false) ShowPreload(next, true);
}

void TUpdateRun::ShowPreload(TRunState& next, bool now) {
  const auto clock = std::chrono::steady_clock::now();
  if (!now && clock - next.TransferShown < std::chrono::milliseconds(250)) return;
  next.TransferShown = clock;
  const std::int64_t record =
      next.Head < next.Order.size() ? next.Order[next.Head]->FileItem->Size : 0;
  const std::int64_t done = std::min(
      next.PreloadBytes,
      next.PreloadStaged +
          std::clamp<std::int64_t>(session_->Control.Received() - next.RecordReceived, 0, record));
  const std::string text =
      TrFormat(kPreloading, {Megabytes(done, false), Megabytes(next.PreloadBytes, true)});
  host_.SetTransfer(text);
  host_.SetStatusTip(text);
}

}  // namespace kova
