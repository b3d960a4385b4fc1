// A file repaired from the chunks an older copy of it already has, and the few it lacks, instead
// of its whole archive.
//
// The older copy is the file itself, or, for a file the list names for the first time, the file
// the cached list named closest in size that the new list no longer names (a renamed file). Its
// chunks are found by cutting it as the publisher cut the new file. The chunks it lacks are
// fetched side by side into a stage folder beside the file ("NAME.kovachunks"), checked against
// the digests they are named by, and kept there until the file is done, so that a cancelled or
// interrupted run does not fetch them again. The new file is written under its temporary name
// while the old one stays in place, checked, and only then takes the old one's place under the
// same backup and rollback as an unpacked archive.
//
// Whenever this way cannot end well (no older copy, an index that is not the listed one, a chunk
// the server lacks or sends twice with the wrong content, an assembled file that is not the
// listed one), the record falls back to its whole archive.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <set>

#include "core/update_run_state.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "support/signature.h"
#include "support/translation.h"
#include "workers/chunk_threads.h"
#include "workers/download_thread.h"
#include "workers/transfer_control.h"

namespace kova {

namespace {

// What the link is taken to deliver until the run has measured it.
constexpr double kUnknownRate = 4.0 * 1024 * 1024;
// The least time a request is taken to cost: the first byte of a small one on the same machine.
constexpr double kLeastRoundTrip = 0.0005;
const char* const kCancelled = TrNoop("Check cancelled by user");

void RemoveStage(const std::string& stage) {
  // A link standing there is removed itself: nothing is ever removed or written through it.
  if (platform::IsSymbolicLink(stage)) {
    platform::RemoveFile(stage);
    platform::RemoveEmptyFolder(stage);  // a folder link on Windows
    return;
  }
  if (!platform::DirectoryExists(stage)) return;
  std::vector<std::string> files, links;
  platform::ListFiles(stage, files, links);
  for (const std::string& f : files) platform::RemoveFile(stage + "/" + f);
  for (const std::string& l : links) platform::RemoveFile(stage + "/" + l);
  platform::RemoveEmptyFolder(stage);
}

}  // namespace

bool ChunksPayOff(std::int64_t fetchBytes, std::size_t requests, std::int64_t archiveBytes,
                  int connections, double roundTrip, double rate) {
  if (rate <= 0) rate = kUnknownRate;
  roundTrip = std::max(roundTrip, kLeastRoundTrip);
  // Requests go out side by side over the connections, one round trip each.
  const double rounds = std::ceil(static_cast<double>(requests) / std::max(connections, 1));
  const double byChunks = rounds * roundTrip + static_cast<double>(fetchBytes) / rate;
  const double byArchive = roundTrip + static_cast<double>(archiveBytes) / rate;
  return byChunks < byArchive;
}

void TUpdateRun::NoteDeparted(TRunState& run, const std::string& cachePrefix) {
  bool chunked = false;
  for (auto it = run.Map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next())
    chunked = chunked || !item->FileItem->ChunkIndex.empty();
  if (!chunked) return;
  TPatchMap cached;
  LoadPatchListCache(UpdaterOptions().RootKey, cachePrefix, cached);
  for (auto it = cached.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next()) {
    const TFileItem& f = *item->FileItem;
    if (!run.Map.Get(f.FileName) && f.Size >= kChunkedFileMin)
      run.Departed.emplace_back(f.FileName, f.Size);
  }
  cached.Clear(true);
}

std::optional<TUpdateRun::TStep> TUpdateRun::RepairByChunks(TRunState& run, const TRecord& record,
                                                            bool& done) {
  const TFileItem& target = record.Target;
  std::vector<std::string> seeds;
  bool departed = false;  // the older copy is a file the list no longer names
  if (platform::FileExists(record.Local) && platform::FileSize(record.Local) > 0) {
    seeds.push_back(record.Local);
  } else {
    departed = true;
    std::int64_t nearest = -1;
    for (const auto& [name, size] : run.Departed) {
      const std::int64_t distance = std::llabs(size - target.Size);
      const std::string path = LocalPath(run.Home, name);
      if ((nearest < 0 || distance < nearest) && platform::FileExists(path) &&
          platform::IsRealFolderChain(run.Home, BackslashToSlash(name))) {
        nearest = distance;
        seeds.assign(1, path);
      }
    }
  }
  const std::string stage = record.Local + ".kovachunks";
  if (platform::IsSymbolicLink(stage)) {
    RemoveStage(stage);
    if (platform::IsSymbolicLink(stage)) return std::nullopt;
  }
  if (seeds.empty()) {
    RemoveStage(stage);
    return std::nullopt;
  }
  ShowInfo(TrFormat("Downloading %s", {record.Display}));

  // The index, which must be the one the list names.
  TChunkIndex index;
  auto text = std::make_unique<TMemoryStream>();
  TDownloadOutcome outcome;
  const auto asked = std::chrono::steady_clock::now();
  std::atomic<std::int64_t> firstByte{-1};  // microseconds after the request
  {
    TDownloadThread worker(
        TAddress(run.Published, ChunkIndexPath(target.ChunkIndex)), 0, *text, &cancelEvent_,
        [&](const std::string&, std::int64_t, std::int64_t) {
          std::int64_t none = -1;
          firstByte.compare_exchange_strong(none,
                                            std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::steady_clock::now() - asked)
                                                .count());
          return true;
        },
        ChunkIndexSizeBound(target.Size));
    WaitWithMessages(worker);
    outcome = worker.Outcome;
  }
  if (cancelled_) return EndRecordWalk(Tr(kCancelled));
  std::string why;
  if (outcome != doDownloaded || Sha256Hex(text->Data()) != target.ChunkIndex ||
      !DecodeChunkIndex(text->Data(), target.Size, index, why) || index.FileSize != target.Size) {
    RemoveStage(stage);
    return std::nullopt;
  }
  text.reset();  // a large file's index text is megabytes

  // The chunks the older copy has.
  TChunkPlaces places;
  {
    std::vector<std::shared_ptr<TSeedCut>> cuts;
    if (departed) cuts.push_back(run.SeedCuts[seeds[0]]);
    TSeedScanThread worker(seeds, index, &cancelEvent_, ProgressCallback(),
                           departed ? &cuts : nullptr);
    WaitWithMessages(worker);
    places = std::move(worker.Found);
    if (departed && cuts[0]) run.SeedCuts[seeds[0]] = cuts[0];
  }
  if (cancelled_) return EndRecordWalk(Tr(kCancelled));

  // Those it lacks: stored in the stage by an earlier run, fetched there but not yet checked, or
  // to fetch.
  std::vector<TChunkEntry> toFetch, toCheck;
  std::set<TDigest> wanted;
  std::int64_t fetchBytes = 0;
  for (const TChunkEntry& c : index.Chunks) {
    if (places.count(c.Digest) || !wanted.insert(c.Digest).second) continue;
    if (platform::FileExists(StagedChunk(stage, c.Digest))) continue;
    if (platform::FileExists(StagedChunk(stage, c.Digest, true))) {
      toCheck.push_back(c);
      continue;
    }
    toFetch.push_back(c);
    fetchBytes += c.Stored;
  }
  const TUpdaterOptions& o = UpdaterOptions();
  // The least any request of the run has waited: one slow answer is no measure of the link.
  double roundTrip =
      firstByte >= 0
          ? static_cast<double>(firstByte.load()) / 1e6
          : std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  const double least = TTransferControl::Shared().RoundTrip();
  if (least >= 0 && least < roundTrip) roundTrip = least;
  if (!ChunksPayOff(fetchBytes, toFetch.size(), index.ArchiveSize, o.TransferCount(), roundTrip,
                    TTransferControl::Shared().ReceiveRate())) {
    RemoveStage(stage);
    return std::nullopt;
  }

  // Fetched side by side; a chunk whose content is not the one it is named by is asked for
  // once more, past any cache on the way, and then the archive is the way.
  if (!toFetch.empty() && !platform::ForceDirectories(stage)) return std::nullopt;
  SetFilePosition(0);
  std::int64_t fetched = 0;
  for (int attempt = 0;; ++attempt) {
    std::vector<std::unique_ptr<TDownloadThread>> running;
    std::size_t next = 0;
    bool failed = false;
    platform::WaitUntilServingMessages([&] {
      for (auto it = running.begin(); it != running.end();) {
        if (!(*it)->DoneEvent.IsSet()) {
          ++it;
          continue;
        }
        (*it)->Finish();
        if ((*it)->Outcome == doDownloaded)
          fetched += (*it)->Written;
        else
          failed = true;
        it = running.erase(it);
      }
      const int position = BarPosition(host_.ProgressMax(), fetched, fetchBytes);
      if (position != filePosition_) SetFilePosition(position);
      if (failed || cancelled_) {
        for (auto& worker : running) worker->Stop();
        return running.empty();
      }
      while (running.size() < static_cast<std::size_t>(o.TransferCount()) &&
             next < toFetch.size()) {
        const TChunkEntry& c = toFetch[next++];
        try {
          running.push_back(std::make_unique<TDownloadThread>(
              TAddress(run.Published, ChunkPath(DigestHex(c.Digest))),
              StagedChunk(stage, c.Digest, true), 0, &cancelEvent_, nullptr, attempt > 0,
              c.Stored));
        } catch (const std::exception&) {
          failed = true;
          break;
        }
      }
      return running.empty() && (failed || next >= toFetch.size());
    });
    if (cancelled_) return EndRecordWalk(Tr(kCancelled));
    if (failed) {
      RemoveStage(stage);
      return std::nullopt;
    }
    toCheck.insert(toCheck.end(), toFetch.begin(), toFetch.end());
    std::vector<TChunkEntry> bad;
    {
      TChunkCheckThread worker(stage, toCheck);
      WaitWithMessages(worker);
      if (worker.HasError()) {
        RemoveStage(stage);
        return std::nullopt;
      }
      bad = std::move(worker.Bad);
    }
    if (bad.empty()) break;
    if (attempt > 0) {
      RemoveStage(stage);
      return std::nullopt;
    }
    toFetch = std::move(bad);
    toCheck.clear();
    for (const TChunkEntry& c : toFetch) fetchBytes += c.Stored;
  }
  if (fetchBytes > 0 && filePosition_ != host_.ProgressMax()) SetFilePosition(host_.ProgressMax());

  // Assembled beside the old file, which stays in place until the new one is whole and checked.
  if (const auto step = WaitForGame(run)) return *step;
  ShowInfo(TrFormat("Unpacking %s", {record.Display}));
  platform::RemoveFile(record.Fresh);
  bool good = false;
  {
    TChunkAssembleThread worker(index, places, seeds, stage, record.Fresh, ProgressCallback(),
                                record.Verify);
    platform::FaultPoint("assembling");
    WaitWithMessages(worker);
    good = !worker.HasError() && worker.Crc == target.Checksum && worker.Produced == target.Size &&
           (!record.Verify || worker.Sha256 == target.Sha256);
  }
  if (!good) {
    platform::RemoveFile(record.Fresh);
    RemoveStage(stage);
    return std::nullopt;
  }
  // From here on as an unpacked archive: the old file to its backup, the new one in its place.
  const bool movedToBackup = record.MoveToBackup();
  GiveMode(record.Fresh, movedToBackup ? record.Backup : std::string(), target.Executable);
  platform::FaultPoint("before-final-move");
  Replace(run, record, true);
  RemoveStage(stage);
  done = true;
  return std::nullopt;
}

}  // namespace kova
