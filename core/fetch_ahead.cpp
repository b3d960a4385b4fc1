#include "core/fetch_ahead.h"

#include <algorithm>
#include <cstring>

#include "core/utility.h"
#include "net/url.h"
#include "platform/files.h"

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
  jobs_.clear();  // each waits for its thread
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
  const std::string local = LocalPath(settings_.Home, target.FileName);
  if (local.size() + std::strlen(kArchiveSuffix) + std::strlen(TDownloadThread::kPartSuffix) >
      platform::MaxPathLength())
    return false;
  std::int64_t size = -1;
  std::int32_t date = 0;
  // A file of another size cannot have the listed content; a soft-checked one is taken as it is.
  const bool exists = GetFileSizeAndDosDate(local, size, date);
  if (exists && (size == target.Size || settings_.SoftCheck(target.FileName))) return false;
  // A file that may be assembled from an older copy's chunks waits for its turn: its archive
  // may not be needed at all.
  if (!target.ChunkIndex.empty() && (exists || settings_.OlderCopies)) return false;
  // A leftover archive is checked in its record's turn; nothing goes through a link.
  return !platform::FileExists(LocalPath(settings_.Home, item.FileName)) &&
         platform::IsRealFolderChain(settings_.Home, BackslashToSlash(target.FileName));
}

void TFetchAhead::TopUp(std::size_t head, bool headTransferring) {
  if (next_ <= head) next_ = head + 1;
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
  const auto ahead = static_cast<std::size_t>(settings_.Transfers - (headTransferring ? 1 : 0));
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
      if (free >= 0 && pendingBytes_ + bytes + item.FileItem->Size + reserve > free) return;
      const TPatchItem* key = &item;
      auto progress = [this, key](const std::string& name, std::int64_t done, std::int64_t total) {
        return shown_.load() != key || !onProgress_ || onProgress_(name, done, total);
      };
      const std::string archive = LocalPath(settings_.Home, item.FileName);
      try {
        platform::ForceDirectories(ExtractFilePath(archive));
        jobs_[key] = std::make_unique<TDownloadThread>(
            TAddress(settings_.Published, ArchivePath(item)), archive, 0, cancelEvent_, progress,
            false, ArchiveSizeBound(item.FileItem->Size), settings_.Sha256);
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
  std::unique_ptr<TDownloadThread> worker = Take(item);
  if (!worker) return;
  worker->Stop();
  worker->Finish();
  platform::RemoveFile(worker->FileName + TDownloadThread::kPartSuffix);
  platform::RemoveFile(worker->FileName);
}

}  // namespace kova
