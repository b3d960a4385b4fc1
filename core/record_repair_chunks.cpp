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

#include "core/bundle.h"
#include "core/fetch_ahead.h"
#include "core/options.h"
#include "core/record_repair.h"
#include "core/utility.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "support/signature.h"
#include "support/translation.h"
#include "workers/chunk_threads.h"
#include "workers/download_thread.h"
#include "workers/transfer_session.h"

namespace kova {

namespace {

// What the link is taken to deliver until the run has measured it.
constexpr double kUnknownRate = 4.0 * 1024 * 1024;
// The least time a request is taken to cost: the first byte of a small one on the same machine.
constexpr double kLeastRoundTrip = 0.0005;
const char* const kCancelled = TrNoop("Check cancelled by user");

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

std::optional<TRepairStep> TRecordRepair::RepairByChunks(bool& done) {
  const TFileItem& target = target_;
  std::vector<std::string> seeds;
  bool departed = false;  // the older copy is a file the list no longer names
  const std::string seed =
      shared_.SeedHome.empty() ? std::string() : LocalPath(shared_.SeedHome, name_);
  if (platform::FileExists(local_) && platform::FileSize(local_) > 0) {
    seeds.push_back(local_);
  } else if (!seed.empty() && platform::IsRegularFile(seed) && platform::FileSize(seed) > 0 &&
             platform::IsRealFolderChain(shared_.SeedHome, BackslashToSlash(name_))) {
    // A pre-load: the game's own copy, which it only reads.
    seeds.push_back(seed);
  } else {
    departed = true;
    std::int64_t nearest = -1;
    for (const auto& [name, size] : shared_.Departed) {
      const std::int64_t distance = std::llabs(size - target.Size);
      const std::string path = LocalPath(shared_.Home, name);
      if ((nearest < 0 || distance < nearest) && platform::FileExists(path) &&
          platform::IsRealFolderChain(shared_.Home, BackslashToSlash(name))) {
        nearest = distance;
        seeds.assign(1, path);
      }
    }
  }
  const std::string stage = local_ + ".kovachunks";
  if (platform::IsSymbolicLink(stage)) {
    RemoveTree(stage);
    if (platform::IsSymbolicLink(stage)) return std::nullopt;
  }
  if (seeds.empty()) {
    RemoveTree(stage);
    return std::nullopt;
  }
  run_.ShowInfo(TrFormat("Downloading %s", {display_}));

  // The index, which must be the one the list names.
  TChunkIndex index;
  auto text = std::make_unique<TMemoryStream>();
  TDownloadOutcome outcome = doFailed;
  const auto asked = std::chrono::steady_clock::now();
  std::atomic<std::int64_t> firstByte{-1};  // microseconds after the request
  // From the bundle when it holds the index (judged below as one fetched), else the server.
  std::string bundled;
  if (run_.Bundle() && run_.Bundle()->Text(ChunkIndexPath(target.ChunkIndex),
                                           ChunkIndexSizeBound(target.Size), bundled)) {
    text->Write(bundled.data(), bundled.size());
    outcome = doDownloaded;
    firstByte = 0;
  } else {
    TDownloadThread worker(
        run_.Session(), TAddress(shared_.Published, ChunkIndexPath(target.ChunkIndex)), 0, *text,
        &run_.CancelEvent(),
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
  if (run_.Cancelled()) return End(Tr(kCancelled));
  std::string why;
  if (outcome != doDownloaded || Sha256Hex(text->Data()) != target.ChunkIndex ||
      !DecodeChunkIndex(text->Data(), target.Size, index, why) || index.FileSize != target.Size) {
    RemoveTree(stage);
    return std::nullopt;
  }
  text.reset();  // a large file's index text is megabytes

  // The chunks the older copy has.
  TChunkPlaces places;
  {
    std::vector<std::shared_ptr<TSeedCut>> cuts;
    if (departed) cuts.push_back(shared_.SeedCuts[seeds[0]]);
    TSeedScanThread worker(seeds, index, &run_.CancelEvent(), run_.FileProgress(),
                           departed ? &cuts : nullptr);
    WaitWithMessages(worker);
    places = std::move(worker.Found);
    if (departed && cuts[0]) shared_.SeedCuts[seeds[0]] = cuts[0];
  }
  if (run_.Cancelled()) return End(Tr(kCancelled));

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
    // A chunk the bundle holds lies in the stage as one fetched, and is checked as one.
    if (run_.Bundle() &&
        run_.Bundle()->CopyTo(ChunkPath(DigestHex(c.Digest)), StagedChunk(stage, c.Digest, true))) {
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
  const double least = run_.Session().Control.RoundTrip();
  if (least >= 0 && least < roundTrip) roundTrip = least;
  if (!ChunksPayOff(fetchBytes, toFetch.size(), index.ArchiveSize,
                    run_.Session().InFlight(o.TransferCount()), roundTrip,
                    run_.Session().Control.ReceiveRate())) {
    RemoveTree(stage);
    return std::nullopt;
  }

  // Fetched side by side; a chunk whose content is not the one it is named by is asked for
  // once more, past any cache on the way, and then the archive is the way.
  if (!toFetch.empty() && !platform::ForceDirectories(stage)) return std::nullopt;
  run_.SetFilePosition(0);
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
      const int position = BarPosition(run_.FileBarMax(), fetched, fetchBytes);
      if (position != run_.FilePosition()) run_.SetFilePosition(position);
      if (failed || run_.Cancelled()) {
        for (auto& worker : running) worker->Stop();
        return running.empty();
      }
      while (running.size() <
                 static_cast<std::size_t>(run_.Session().InFlight(o.TransferCount())) &&
             next < toFetch.size()) {
        const TChunkEntry& c = toFetch[next++];
        try {
          running.push_back(std::make_unique<TDownloadThread>(
              run_.Session(), TAddress(shared_.Published, ChunkPath(DigestHex(c.Digest))),
              StagedChunk(stage, c.Digest, true), 0, &run_.CancelEvent(), nullptr, attempt > 0,
              c.Stored));
        } catch (const std::exception&) {
          failed = true;
          break;
        }
      }
      return running.empty() && (failed || next >= toFetch.size());
    });
    if (run_.Cancelled()) return End(Tr(kCancelled));
    if (failed) {
      RemoveTree(stage);
      return std::nullopt;
    }
    toCheck.insert(toCheck.end(), toFetch.begin(), toFetch.end());
    std::vector<TChunkEntry> bad;
    {
      TChunkCheckThread worker(stage, toCheck);
      WaitWithMessages(worker);
      if (worker.HasError()) {
        RemoveTree(stage);
        return std::nullopt;
      }
      bad = std::move(worker.Bad);
    }
    if (bad.empty()) break;
    if (attempt > 0) {
      RemoveTree(stage);
      return std::nullopt;
    }
    toFetch = std::move(bad);
    toCheck.clear();
    for (const TChunkEntry& c : toFetch) fetchBytes += c.Stored;
  }
  if (fetchBytes > 0 && run_.FilePosition() != run_.FileBarMax())
    run_.SetFilePosition(run_.FileBarMax());

  // Assembled beside the old file, which stays in place until the new one is whole and checked.
  if (const auto step = WaitForGame()) return *step;
  run_.ShowInfo(TrFormat("Unpacking %s", {display_}));
  platform::RemoveFile(fresh_);
  bool good = false;
  {
    TChunkAssembleThread worker(index, places, seeds, stage, fresh_, run_.FileProgress(), verify_);
    platform::FaultPoint("assembling");
    WaitWithMessages(worker);
    good = !worker.HasError() && worker.Crc == target.Checksum && worker.Produced == target.Size &&
           (!verify_ || worker.Sha256 == target.Sha256);
  }
  if (!good) {
    platform::RemoveFile(fresh_);
    RemoveTree(stage);
    return std::nullopt;
  }
  // From here on as an unpacked archive: the old file to its backup, the new one in its place.
  const bool movedToBackup = MoveToBackup();
  GiveMode(fresh_, movedToBackup ? backup_ : std::string(), target.Executable);
  platform::FaultPoint("before-final-move");
  Replace(true);
  RemoveTree(stage);
  done = true;
  return std::nullopt;
}

}  // namespace kova
