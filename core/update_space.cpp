// The run's look at the free space before its first repair.

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "core/update_run.h"
#include "core/update_run_state.h"
#include "core/utility.h"
#include "support/translation.h"
#include "workers/download_thread.h"

namespace kova {
namespace {

// Sums over the records never wrap: a list of absurd sizes needs more than any disk holds.
std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  return a > INT64_MAX - b ? INT64_MAX : a + b;
}

std::int64_t SizeIfThere(const std::string& path) {
  std::int64_t size = 0;
  std::int32_t date = 0;
  return GetFileSizeAndDosDate(path, size, date) ? size : 0;
}

}  // namespace

std::optional<TUpdateRun::TStep> TUpdateRun::CheckFreeSpace(TRunState& run) {
  const std::int64_t free = platform::FreeDiskSpace(run.Home);
  if (free < 0) return std::nullopt;
  const TUpdaterOptions& o = UpdaterOptions();
  // The repairs go one file after the other: each fetches its archive, writes its new file
  // beside the old one, and then removes the archive and the old copy. So the disk must hold
  // every file's growth, and beyond it the most any one repair holds for a while: its archive
  // and both copies of its file (the smaller of the two once more). Archives fetched ahead take
  // only the space left beyond that, which they look at themselves.
  std::int64_t growth = 0, peak = 0;
  for (std::size_t i = run.Head; i < run.Order.size(); ++i) {
    ServeMessagesNowAndThen(run);
    if (cancelled_) return std::nullopt;
    const TPatchItem& item = *run.Order[i];
    const TFileItem& target = *item.FileItem;
    const std::string local = LocalPath(run.Home, target.FileName);
    std::int64_t old = 0;
    std::int32_t date = 0;
    const bool exists = GetFileSizeAndDosDate(local, old, date);
    // The record in its turn needs a repair; of the others, those whose size tells already (a
    // file of the listed size is judged by its content in its turn, and most are intact).
    if (i != run.Head && exists && (old == target.Size || o.IsSoftCheck(target.FileName))) continue;
    if (!exists) old = 0;
    // A file with chunks and an older copy fetches only the chunks it lacks, which its index
    // tells in its turn; any other fetches its archive, less what of it is on the disk. The list
    // gives no archive's size: its file's bounds it.
    std::int64_t fetch = 0;
    if (target.ChunkIndex.empty() || !exists) {
      const std::string archive = local + kArchiveSuffix;
      const std::int64_t have = platform::FileExists(archive)
                                    ? SizeIfThere(archive)
                                    : SizeIfThere(archive + TDownloadThread::kPartSuffix);
      fetch = std::max<std::int64_t>(0, target.Size - have);
      if (fetch > 0) PlanFetch(run, item);
    }
    growth = SaturatingAdd(growth, std::max<std::int64_t>(0, target.Size - old));
    peak = std::max(peak, SaturatingAdd(fetch, std::min(old, target.Size)));
  }
  return EndWithoutSpace(SaturatingAdd(growth, peak), free);
}

bool TUpdateRun::RoomForArchive(TRunState& run, const TPatchItem& item) {
  // The way by chunks was judged to need only the chunks the file lacks; now the whole archive
  // comes, and the new copy is written beside the old one.
  const std::int64_t free = platform::FreeDiskSpace(run.Home);
  if (free < 0) return true;
  const std::string archive = LocalPath(run.Home, item.FileName);
  const std::int64_t have = platform::FileExists(archive)
                                ? SizeIfThere(archive)
                                : SizeIfThere(archive + TDownloadThread::kPartSuffix);
  const std::int64_t size = item.FileItem->Size;
  const std::int64_t fetch = std::max<std::int64_t>(0, size - have);
  return !EndWithoutSpace(SaturatingAdd(fetch, size), free);
}

std::optional<TUpdateRun::TStep> TUpdateRun::EndWithoutSpace(std::int64_t need, std::int64_t free) {
  if (need <= free) return std::nullopt;
  const std::string text = TrFormat("Not enough free disk space: %s MB needed, %s MB free",
                                    {Megabytes(need, true), Megabytes(free, false)});
  const TStep step = EndRecordWalk(text);
  host_.ErrorBox(text);
  return step;
}

}  // namespace kova
