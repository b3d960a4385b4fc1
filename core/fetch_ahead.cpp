#include "core/fetch_ahead.h"

#include <algorithm>
#include <cstring>

#include "core/record_repair.h"
#include "core/utility.h"
#include "net/url.h"
#include "platform/files.h"
#include "workers/transfer_session.h"

namespace kova {

std::string LocalPath(const std::string& home, const std::string& name) {
  return home + BackslashToSlash(name);
}

std::int64_t ArchiveSizeBound(std::int64_t size) {
  return 13 + size + size / 16 + 65536;
}

std::string ArchivePath(const TPatchItem& item) {
  // Names may hold blanks, "#", "?", "%" or any other byte: each goes into the URL encoded.
  return PercentEncodePath(BackslashToSlash(item.FileName));
}

TFetchAhead::TFetchAhead(const std::vector<TPatchItem*>& order, TSettings settings,
                         const platform::TEvent* cancelEvent, TWorkerProgressEvent onProgress)
    : order_(order),
      settings_(std::move(settings)),
      cancelEvent_(cancelEvent),
      onProgress_(std::move(onProgress)) {}

TFetchAhead::~TFetchAhead() {
  for (auto& [item, worker] : jobs_) worker->Stop();
  for (auto& [item, worker] : unpacks_) worker->Stop();
  jobs_.clear();  // each waits for its thread
  // A copy unpacked ahead that no record took (a cancel, the run's end) is not left beside its
  // file; the archive stays for the next run.
  for (auto& [item, worker] : unpacks_) {
    const std::string fresh = worker->TargetName;
    worker.reset();
    platform::RemoveFile(fresh);
  }
}

std::int64_t TFetchAhead::UnpackWindow(const TPatchItem& item) const {
  return std::min(std::max<std::int64_t>(item.FileItem->Size, 4096), kLargestWindow);
}

void TFetchAhead::UnpackArrived(std::size_t head) {
  if (IsCancelSignalled(cancelEvent_)) {
    for (auto& [item, worker] : unpacks_) worker->Stop();
    return;
  }
  if (settings_.Unpackers <= 0) return;
  // A decoder that waits for the disk to hold its copy needs no core: the next one starts, so
  // that one file's flush never holds up the files after it. The copies made ahead and not yet
  // taken stay a few for each decoder.
  std::size_t running = 0;
  for (const auto& [item, worker] : unpacks_)
    if (!worker->Ended() && !worker->Flushing) ++running;
  const std::size_t most = kCopiesPerDecoder * static_cast<std::size_t>(settings_.Unpackers);
  std::int64_t free = -2, reserve = kDiskReserve;
  for (std::size_t i = head + 1;
       i < next_ && running < static_cast<std::size_t>(settings_.Unpackers); ++i) {
    const TPatchItem* item = order_[i];
    const auto job = jobs_.find(item);
    if (job == jobs_.end() || !job->second->Ended() || unpacks_.count(item)) continue;
    if (unpacks_.size() >= most) return;
    TDownloadThread& fetched = *job->second;
    fetched.Finish();
    // Only an archive that is the listed one is unpacked ahead; any other is judged, and fetched
    // again, in its record's turn.
    if (fetched.Outcome != doDownloaded || fetched.Crc != item->Checksum) continue;
    if (settings_.Sha256 && fetched.Sha256 != item->Sha256) continue;
    const std::int64_t window = UnpackWindow(*item);
    if (unpackMemory_ > 0 && unpackMemory_ + window > kUnpackMemory) return;
    // The new copy takes its file's size beside the old one until its turn, and never the space
    // the transfers ahead leave free.
    if (free == -2) {
      std::int64_t total = 0;
      free = platform::FreeDiskSpace(settings_.Home, &total);
      reserve = std::max(reserve, total / kDiskShareKept);
    }
    // A copy being written has taken only part of its size yet, so what the disk says is free
    // does not count the rest: every copy and archive in flight is counted whole.
    if (free >= 0 && pendingBytes_ + unpackBytes_ + item->FileItem->Size + reserve > free) return;
    const std::string fresh = FreshPath(LocalPath(settings_.Home, item->FileItem->FileName));
    try {
      platform::RemoveFile(fresh);
      unpacks_[item] = std::make_unique<TDecompressThread>(fetched.FileName, fresh, nullptr,
                                                           item->FileItem->Size, settings_.Sha256);
      unpackMemory_ += window;
      unpackBytes_ += item->FileItem->Size;
      ++running;
    } catch (const std::exception&) {
      // The record meets the fault in its turn.
    }
  }
}

std::unique_ptr<TDecompressThread> TFetchAhead::TakeUnpack(const TPatchItem& item) {
  const auto found = unpacks_.find(&item);
  if (found == unpacks_.end()) return nullptr;
  std::unique_ptr<TDecompressThread> worker = std::move(found->second);
  unpacks_.erase(found);
  unpackMemory_ -= UnpackWindow(item);
  unpackBytes_ -= item.FileItem->Size;
  return worker;
}

std::size_t TFetchAhead::Running() const {
  std::size_t running = 0;
  for (const auto& [item, worker] : jobs_) {
    if (!worker->DoneEvent.IsSet()) ++running;
  }
  return running;
}

bool TFetchAhead::WantsArchive(const TPatchItem& item) const {
  const TFileItem& target = *item.FileItem;
  std::int64_t size = -1;
  std::int32_t date = 0;
  const bool exists = GetFileSizeAndDosDate(LocalPath(settings_.Home, target.FileName), size, date);
  if (!settings_.Stage.empty()) {
    const std::string staged = LocalPath(settings_.Stage, target.FileName);
    if (platform::FileSize(staged) == target.Size ||
        platform::FileExists(LocalPath(settings_.Stage, item.FileName)))
      return false;
  }
  // A leftover archive is checked in its record's turn.
  return ArchiveNeedOf(settings_.Home, target, exists, size, settings_.SoftCheck(target.FileName),
                       settings_.OlderCopies) == TArchiveNeed::Archive &&
         !platform::FileExists(LocalPath(settings_.Home, item.FileName));
}

void TFetchAhead::TopUp(std::size_t head, bool headTransferring) {
  if (next_ <= head) next_ = head + 1;
  UnpackArrived(head);
  // Called at every wake-up of a wait: once every record has been looked at, nothing is left.
  if (!allowed_ || next_ >= order_.size() || settings_.Transfers <= 1 ||
      IsCancelSignalled(cancelEvent_))
    return;
  std::size_t running = Running();
  std::int64_t free = -2;  // looked up once, when a transfer is about to start
  std::int64_t reserve = kDiskReserve;
  // A look at a record is a look at its file's size: a few at a time, so the window's messages
  // wait no longer than that.
  const std::size_t lookUntil = std::min(order_.size(), next_ + kLooksPerTopUp);
  // While the record in its turn downloads, its transfer is one of them; while it is checked,
  // unpacked or replaced, all of them fetch ahead.
  const int transfers =
      settings_.Session ? settings_.Session->InFlight(settings_.Transfers) : settings_.Transfers;
  const auto ahead = static_cast<std::size_t>(transfers - (headTransferring ? 1 : 0));
  while (next_ < lookUntil && running < ahead) {
    const TPatchItem& item = *order_[next_];
    if (WantsArchive(item)) {
      // The list gives no archive's size: its file's bounds it (LZMA barely grows any data).
      const std::int64_t bytes = item.FileItem->Size;
      // The budget holds at least one archive, however large.
      if (pendingBytes_ > 0 && pendingBytes_ + bytes > kBudget) return;
      if (free == -2) {
        std::int64_t total = 0;
        free = platform::FreeDiskSpace(settings_.Home, &total);
        reserve = std::max(reserve, total / kDiskShareKept);
      }
      if (free >= 0 && pendingBytes_ + unpackBytes_ + bytes + item.FileItem->Size + reserve > free)
        return;
      const TPatchItem* key = &item;
      auto progress = [this, key](const std::string& name, std::int64_t done, std::int64_t total) {
        return shown_.load() != key || !onProgress_ || onProgress_(name, done, total);
      };
      const std::string archive = LocalPath(settings_.Home, item.FileName);
      try {
        platform::ForceDirectories(ExtractFilePath(archive));
        jobs_[key] = std::make_unique<TDownloadThread>(
            *settings_.Session,
            TAddress(settings_.Published, settings_.ArchivePrefix + ArchivePath(item)), archive, 0,
            cancelEvent_, progress, false, ArchiveSizeBound(item.FileItem->Size), settings_.Sha256);
        pendingBytes_ += bytes;
        ++running;
      } catch (const std::exception&) {
        // The partial file cannot be made: the record meets the fault in its turn.
      }
    }
    ++next_;
  }
}

std::unique_ptr<TDownloadThread> TFetchAhead::Take(const TPatchItem& item) {
  const auto found = jobs_.find(&item);
  if (found == jobs_.end()) return nullptr;
  shown_ = &item;
  std::unique_ptr<TDownloadThread> worker = std::move(found->second);
  jobs_.erase(found);
  pendingBytes_ -= item.FileItem->Size;
  return worker;
}

void TFetchAhead::Drop(const TPatchItem& item) {
  if (std::unique_ptr<TDecompressThread> unpack = TakeUnpack(item)) {
    const std::string fresh = unpack->TargetName;
    unpack->Stop();
    unpack.reset();
    platform::RemoveFile(fresh);
  }
  std::unique_ptr<TDownloadThread> worker = Take(item);
  if (!worker) return;
  worker->Stop();
  worker->Finish();
  platform::RemoveFile(worker->FileName + TDownloadThread::kPartSuffix);
  platform::RemoveFile(worker->FileName);
}

}  // namespace kova
