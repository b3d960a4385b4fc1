// One record's turn in the update run: look at the file, fetch and check its archive, wait for
// the game, unpack beside the file, and let the new copy take its place or give the old one back.

#include <cstring>
#include <memory>
#include <optional>

#include "core/fetch_ahead.h"
#include "core/options.h"
#include "core/update_run_state.h"
#include "core/utility.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/text.h"
#include "support/translation.h"
#include "workers/checksum_thread.h"
#include "workers/decompress_thread.h"
#include "workers/download_thread.h"

namespace kova {

namespace {

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
  // large file unpacks leaves the old file in place, not only its backup. It may have been
  // unpacked ahead of its turn, from the same checked archive, while an earlier record's was.
  if (!record.OldFresh.empty()) platform::RemoveFile(record.OldFresh);
  std::unique_ptr<TDecompressThread> ahead = run.Ahead->TakeUnpack(record.Item);
  if (!ahead) platform::RemoveFile(record.Fresh);
  bool unpackFailed;
  bool wrongArchive;
  std::string freshDigest;
  {
    const bool unpackedAhead = ahead != nullptr;
    std::unique_ptr<TDecompressThread> own =
        unpackedAhead
            ? std::move(ahead)
            : std::make_unique<TDecompressThread>(record.Archive, record.Fresh, ProgressCallback(),
                                                  record.Target.Size, record.Verify);
    TDecompressThread& worker = *own;
    WaitFetchingAhead(run, worker);
    // One unpacked ahead reported nothing: the bar shows its end.
    if (unpackedAhead) SetFilePosition(host_.ProgressMax());
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
