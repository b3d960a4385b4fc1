// One record's repair: look at the file, fetch and check its archive, wait for the game, unpack
// beside the file, and let the new copy take its place or give the old one back.

#include "core/record_repair.h"

#include <cstring>
#include <memory>
#include <optional>

#include "core/bundle.h"
#include "core/fetch_ahead.h"
#include "core/options.h"
#include "core/utility.h"
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

TRecordRepair::TRecordRepair(IRepairRun& run, TRepairShared& shared, TPatchItem& item)
    : run_(run),
      shared_(shared),
      item_(item),
      target_(*item.FileItem),
      name_(target_.FileName),
      shown_(ShownName(name_)),
      display_(DisplayName(shown_)),
      local_(LocalPath(shared.Home, name_)),
      archive_(LocalPath(shared.Home, item.FileName)),
      // Each file's own: two files of one stem never share them.
      backup_(local_ + ".kovabak"),
      fresh_(FreshPath(local_)),
      // The names an earlier version used, where they can only be this file's (and are not this
      // version's names already, as for a file without an extension).
      oldBackup_(OldName(".kovabak")),
      oldFresh_(OldName(".kovanew")),
      verify_(!UpdaterOptions().PublicKey.empty()) {}

std::string TRecordRepair::OldName(const char* suffix) const {
  const std::string old = ChangeFileExt(local_, suffix);
  return old == local_ + suffix || shared_.SharedStems.count(StemOf(local_)) ? std::string() : old;
}

TArchiveNeed ArchiveNeedOf(const std::string& home, const TFileItem& target, bool exists,
                           std::int64_t size, bool softCheck, bool olderCopies) {
  const std::string local = LocalPath(home, target.FileName);
  if (local.size() + std::strlen(kArchiveSuffix) + std::strlen(TDownloadThread::kPartSuffix) >
          platform::MaxPathLength() ||
      !platform::IsRealFolderChain(home, BackslashToSlash(target.FileName)))
    return TArchiveNeed::Withheld;
  // A file of another size cannot have the listed content; a soft-checked one is taken as it is.
  if (exists && (size == target.Size || softCheck)) return TArchiveNeed::ReadFirst;
  // A file that may be assembled from an older copy's chunks waits for its turn: its archive
  // may not be needed at all.
  if (!target.ChunkIndex.empty() && ((exists && size > 0) || olderCopies))
    return TArchiveNeed::Chunks;
  return TArchiveNeed::Archive;
}

bool TRecordRepair::PathUsable() const {
  // A path the system cannot take (with the longest name made beside it, the archive's partial
  // file) is refused for this record alone: it is reported as not updated, and the others go on.
  return local_.size() + std::strlen(kArchiveSuffix) + std::strlen(TDownloadThread::kPartSuffix) <=
         platform::MaxPathLength();
}

TRepairStep TRecordRepair::Repair() {
  // Nothing is written through a link in the game folder (a player's "saves" link to another
  // disk, say): such a file is reported as not updated, like one that cannot be written.
  std::int64_t size = -1;
  std::int32_t date = 0;
  const bool exists = GetFileSizeAndDosDate(local_, size, date);
  const TArchiveNeed need =
      ArchiveNeedOf(shared_.Home, target_, exists, size, false, !shared_.Departed.empty());
  if (need == TArchiveNeed::Withheld) {
    shared_.UnpackFailed = true;
    return TRepairStep::Next;
  }
  if (!shared_.Stage.empty())
    if (const auto step = TakeStaged()) return *step;
  // The chunk way looks for an older copy itself, and clears a stage an earlier run left for a
  // file that has none any more.
  if (!target_.ChunkIndex.empty()) {
    bool done = false;
    if (const auto step = RepairByChunks(done)) return *step;
    if (done) return TRepairStep::Next;
    if (!run_.RoomForArchive(item_)) return TRepairStep::Ended;
  }
  if (const auto step = Fetch()) return *step;
  if (const auto step = WaitForGame()) return *step;
  const bool unpacked = Unpack();
  // A cancel stops the unpacking at its next block: the old file never left its place.
  if (!unpacked && run_.Cancelled()) {
    platform::RemoveFile(fresh_);
    return End(Tr(kCancelledByUser));
  }
  Replace(unpacked);
  return TRepairStep::Next;
}

TRepairStep TRecordRepair::End(const std::string& text) {
  run_.EndRun(text);
  return TRepairStep::Ended;
}

bool FileHasDigest(const std::string& path, const std::string& digest,
                   const platform::TEvent* cancelEvent) {
  TChecksumThread worker(path, cancelEvent, nullptr, true);
  WaitWithMessages(worker);
  return !worker.HasError() && !IsCancelSignalled(cancelEvent) && worker.Sha256 == digest;
}

std::optional<TRepairStep> TRecordRepair::Look() {
  const TUpdaterOptions& o = UpdaterOptions();
  TFileItem& target = target_;
  const std::string& name = name_;
  const std::string& local = local_;
  std::uint32_t a = 0;
  std::int32_t b = 0;
  std::int64_t size = -1;
  // A record whose check is due, or whose date was never observed, is read whatever its size
  // and date say (soft-check files aside), so one look from the checksum worker serves for its
  // date; otherwise the file is looked at here first.
  const bool mustRead = (target.MustRead || target.FileDate == 0) && !o.IsSoftCheck(name);
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
  } else if (!shared_.Stage.empty() &&
             platform::FileSize(LocalPath(shared_.Stage, name)) == target.Size) {
    // A pre-load staged the listed file: that copy is read when it takes this one's place, and
    // this one is not read for nothing.
    a = ~target.Checksum;
  } else if ((opened || !mustRead) && (opened ? opened->Size() : size) != target.Size) {
    // A file of another size cannot be the listed one: it is not read for that.
    a = ~target.Checksum;
  } else {
    run_.ShowInfo(TrFormat("Checking %s", {display_}));
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
      run_.SetFilePosition(0);
      try {
        a = ChecksumSmallFile(*opened, verify_ ? &digest : nullptr);
      } catch (const Exception& e) {
        failed = true;
        code = e.OsError();
      } catch (const std::exception&) {
        failed = true;
      }
      if (!platform::StreamModifySeconds(*opened, seconds)) seconds = -1;
      opened.reset();
      if (!failed) run_.SetFilePosition(run_.FileBarMax());
      run_.ServeMessagesNowAndThen();
    } else {
      TChecksumThread worker(local, std::move(opened), &run_.CancelEvent(), run_.FileProgress(),
                             verify_);
      run_.Wait(worker);
      a = worker.Crc;
      failed = worker.HasError();
      code = worker.ErrorCode();
      seconds = worker.FileSeconds;
      digest = worker.Sha256;
    }
    if (verify_ && !failed && a == target.Checksum && digest != target.Sha256) a = ~target.Checksum;
    if (mustRead) b = seconds >= 0 ? PackDosDate(seconds) : -1;
    if (run_.Cancelled()) return End(Tr(kCancelledByUser));
    if (failed) {
      const TBoxResult answer = run_.RetryBox(
          TBoxKind::CheckError,
          TrFormat("Error while checking %s. Error code: %d", {shown_, std::to_string(code)}));
      if (answer == TBoxResult::Retry) return TRepairStep::Retry;
      return End(Tr(kCancelledByError));
    }
  }
  // A file read because its check was due keeps the date it had when it is found unchanged:
  // the cache is then left as it was, instead of being rewritten after every check.
  target.MustRead = false;
  if (a == target.Checksum && b != target.FileDate) {
    target.FileDate = b;
    if (!shared_.DatesChanged && !o.IsHardCheck(name)) shared_.DatesChanged = true;
  }
  intact_ = a == target.Checksum;
  return std::nullopt;
}

std::optional<TRepairStep> TRecordRepair::Fetch() {
  const TPatchItem& item = item_;
  // The archive must match its listed CRC-32 before anything is touched.
  platform::ForceDirectories(ExtractFilePath(local_));
  run_.ShowInfo(TrFormat("Downloading %s", {display_}));
  std::uint32_t u = ~item.Checksum;
  // An archive fetched ahead is judged below as one fetched now; any other found there is a
  // leftover of an earlier run, checked before it is used.
  std::unique_ptr<TDownloadThread> fetched = run_.Ahead().Take(item_);
  // A bundle's archive is put where a leftover would lie, and judged as one: by its checksums,
  // and fetched from the server when it is not the listed one.
  if (!fetched && run_.Bundle() && !platform::FileExists(archive_))
    run_.Bundle()->CopyTo(BackslashToSlash(target_.FileName) + kArchiveSuffix, archive_);
  if (!fetched && platform::FileExists(archive_)) {
    {
      TChecksumThread worker(archive_, &run_.CancelEvent(), nullptr, verify_);
      WaitWithMessages(worker);
      u = worker.Crc;
      if (verify_ && worker.Sha256 != item.Sha256) u = ~item.Checksum;
    }
    if (run_.Cancelled()) return End(Tr(kCancelledByUser));
    if (u != item.Checksum) platform::RemoveFile(archive_);
  }
  // A copy that does not match its checksum may come from a cache on the way that kept an old
  // one, or from a mirror that holds a broken one: it is fetched again, from the next address
  // first, asking every cache to check with the server; at most once from each address more.
  bool revalidate = false;
  std::size_t wrongCopies = 0;
  while (u != item.Checksum) {
    run_.PlanFetch(item_);
    TDownloadOutcome outcome = doFailed;
    std::string digest, reason;
    int servedBy = -1;
    try {
      std::unique_ptr<TDownloadThread> worker = std::move(fetched);
      if (!worker)
        worker = std::make_unique<TDownloadThread>(
            run_.Session(), TAddress(shared_.Published, shared_.ArchivePrefix + ArchivePath(item)),
            archive_, 0, &run_.CancelEvent(), run_.FileProgress(), revalidate,
            ArchiveSizeBound(target_.Size), verify_);
      run_.WaitTransfer(*worker);
      outcome = worker->Outcome;
      // An archive fetched ahead may have arrived before its turn, while the bar showed another
      // file: it shows this one's download as done.
      if (outcome == doDownloaded && run_.FilePosition() != run_.FileBarMax())
        run_.SetFilePosition(run_.FileBarMax());
      worker->Finish();
      u = worker->Crc;
      digest = worker->Sha256;
      servedBy = worker->ServedBy;
      reason = worker->Reason;
    } catch (const std::exception& e) {
      outcome = doFailed;  // the partial file could not be opened or created
      reason = archive_ + ": " + e.what();
    }
    // A resumed download saw only its end: the whole archive is read for its digest then.
    if (verify_ && outcome == doDownloaded && u == item.Checksum &&
        (digest.empty() ? !FileHasDigest(archive_, item.Sha256, &run_.CancelEvent())
                        : digest != item.Sha256))
      u = ~item.Checksum;
    if (run_.Cancelled()) return End(Tr(kCancelledByUser));
    if (outcome == doDownloaded) run_.NoteFetched(item_, GetFileSize64(archive_));
    if (outcome != doDownloaded) {
      run_.ShowReason(reason);
      const TBoxResult answer = run_.RetryBox(
          TBoxKind::DownloadError, TrFormat("Error while downloading patch for %s", {shown_}));
      if (answer == TBoxResult::Retry || answer == TBoxResult::TimedOut) return TRepairStep::Retry;
      return End(Tr(kCancelledByError));
    }
    if (u == item.Checksum || ++wrongCopies > shared_.Published->Count()) break;
    if (servedBy >= 0) shared_.Published->NoteFailed(static_cast<std::size_t>(servedBy));
    platform::RemoveFile(archive_);
    revalidate = true;
  }
  run_.ShowInfo(TrFormat("Unpacking %s", {display_}));
  if (u != item.Checksum) {
    platform::RemoveFile(archive_);
    return End(TrFormat("Error while checking patch for %s", {shown_}));
  }
  return std::nullopt;
}

std::optional<TRepairStep> TRecordRepair::WaitForGame() {
  // Only a program file that exists can be running (the scan of all processes costs more than
  // unpacking a small file, and a game without a program to start has none).
  while (!shared_.ProgramPath.empty() && platform::FileExists(shared_.ProgramPath) &&
         FindProcessByPath(shared_.ProgramPath) != 0) {
    const TBoxResult answer = run_.RetryBox(
        TBoxKind::RunningGame,
        TrFormat("Please, close running  %s to proceed", {ExtractFileName(shared_.ProgramPath)}));
    if (answer == TBoxResult::Cancel) return End(Tr(kCancelledByUser));
  }
  return std::nullopt;
}

std::optional<TRepairStep> TRecordRepair::TakeStaged() {
  const std::string relative = BackslashToSlash(name_);
  if (!platform::IsRealFolderChain(shared_.Stage, relative)) return std::nullopt;
  const std::string staged = LocalPath(shared_.Stage, name_);
  // What a pre-load left half done goes where this run would fetch it: a partial archive is
  // resumed, an archive and fetched chunks are checked as leftovers are.
  const std::string stagedArchive = LocalPath(shared_.Stage, item_.FileName);
  const std::string part = TDownloadThread::kPartSuffix;
  if (!platform::FileExists(archive_) && !platform::FileExists(archive_ + part)) {
    platform::ForceDirectories(ExtractFilePath(archive_));
    if (!platform::MoveFileNoReplace(stagedArchive, archive_))
      platform::MoveFileNoReplace(stagedArchive + part, archive_ + part);
  }
  const std::string chunks = staged + ".kovachunks", ownChunks = local_ + ".kovachunks";
  if (platform::DirectoryExists(chunks) && !platform::IsSymbolicLink(chunks) &&
      !platform::IsSymbolicLink(ownChunks)) {
    std::vector<std::string> files, links;
    platform::ListFiles(chunks, files, links);
    if (!files.empty()) platform::ForceDirectories(ownChunks);
    for (const std::string& f : files)
      if (f.find('/') == std::string::npos)
        platform::MoveFileNoReplace(chunks + "/" + f, ownChunks + "/" + f);
  }
  if (!platform::IsRegularFile(staged) || platform::FileSize(staged) != target_.Size)
    return std::nullopt;
  if (const auto step = WaitForGame()) return *step;
  // Moved first and then checked: the file that is judged is the one that takes the place.
  if (!oldFresh_.empty()) platform::RemoveFile(oldFresh_);
  platform::RemoveFile(fresh_);
  if (!platform::MoveFileNoReplace(staged, fresh_)) return std::nullopt;
  run_.ShowInfo(TrFormat("Checking %s", {display_}));
  bool good = false;
  {
    TChecksumThread worker(fresh_, &run_.CancelEvent(), run_.FileProgress(), verify_);
    run_.Wait(worker);
    good = !worker.HasError() && worker.Crc == target_.Checksum &&
           (!verify_ || worker.Sha256 == target_.Sha256);
  }
  if (run_.Cancelled()) {
    platform::MoveFileNoReplace(fresh_, staged);  // judged by the next run
    return End(Tr(kCancelledByUser));
  }
  if (!good) {
    // Not the listed file (changed on the disk, or never it): fetched as if there were no stage.
    platform::RemoveFile(fresh_);
    return std::nullopt;
  }
  const bool movedToBackup = MoveToBackup();
  GiveMode(fresh_, movedToBackup ? backup_ : std::string(), target_.Executable);
  Replace(true);
  return TRepairStep::Next;
}

void TRepairShared::Discard(const std::string& path) {
  if (!platform::FileExists(path)) return;
  if (Removing) {
    WaitWithMessages(*Removing);
    Removing.reset();
  }
  const std::string trashed = Trash.empty() ? std::string() : Trash + std::to_string(++Discarded);
  if (trashed.empty() || !platform::ForceDirectories(Trash) ||
      !platform::MoveFileNoReplace(path, trashed)) {
    platform::RemoveFile(path);
    return;
  }
  try {
    Removing = std::make_unique<TRemoveThread>(trashed);
  } catch (const std::exception&) {
    platform::RemoveFile(trashed);
  }
}

void TRepairShared::FinishDiscarding() {
  if (Removing) {
    WaitWithMessages(*Removing);
    Removing.reset();
  }
  if (!Trash.empty() && Discarded > 0) RemoveTree(Trash);
}

std::string StemOf(const std::string& local) {
  return UpperCaseAscii(ChangeFileExt(local, ""));
}

bool TRecordRepair::MoveToBackup() const {
  // A backup left by an interrupted earlier repair would block this one; the file in place is
  // the one to keep until the new copy is ready.
  if (platform::FileExists(local_)) {
    platform::RemoveFile(backup_);
    if (!oldBackup_.empty()) platform::RemoveFile(oldBackup_);
  }
  // Only a file is moved aside: a folder standing where the file belongs is the player's, and
  // the new copy then fails to take its place.
  return platform::FileExists(local_) && platform::MoveFileNoReplace(local_, backup_);
}

void TRecordRepair::RestoreBackup() const {
  // The move never replaces a file in place; a backup an earlier version left under the old
  // name goes back only when this version's is not there.
  if (!platform::MoveFileNoReplace(backup_, local_) && !oldBackup_.empty() &&
      !platform::FileExists(backup_))
    platform::MoveFileNoReplace(oldBackup_, local_);
}

void TRecordRepair::RemoveLeftovers() const {
  for (const std::string* path : {&backup_, &fresh_, &oldBackup_, &oldFresh_})
    if (!path->empty()) platform::RemoveFile(*path);
}

bool TRecordRepair::Unpack() {
  // The new copy is written beside the old file, which keeps its name meanwhile: a kill while a
  // large file unpacks leaves the old file in place, not only its backup. It may have been
  // unpacked ahead of its turn, from the same checked archive, while an earlier record's was.
  if (!oldFresh_.empty()) platform::RemoveFile(oldFresh_);
  std::unique_ptr<TDecompressThread> ahead = run_.Ahead().TakeUnpack(item_);
  if (!ahead) platform::RemoveFile(fresh_);
  bool unpackFailed;
  bool wrongArchive;
  std::string freshDigest;
  {
    const bool unpackedAhead = ahead != nullptr;
    std::unique_ptr<TDecompressThread> own =
        unpackedAhead ? std::move(ahead)
                      : std::make_unique<TDecompressThread>(archive_, fresh_, run_.FileProgress(),
                                                            target_.Size, verify_);
    TDecompressThread& worker = *own;
    run_.WaitUnpack(worker);
    // One unpacked ahead reported nothing: the bar shows its end.
    if (unpackedAhead) run_.SetFilePosition(run_.FileBarMax());
    unpackFailed = worker.HasError();
    // What was unpacked must be the archive that was checked, and what it gave the listed file:
    // the archive's name may have been given another file since its check.
    wrongArchive = worker.Oversized || (!unpackFailed && (worker.InputCrc != item_.Checksum ||
                                                          worker.OutputCrc != target_.Checksum ||
                                                          worker.Produced != target_.Size));
    freshDigest = worker.Sha256;
  }
  // An archive that unpacks to more than its file's size, or to another file, is no good: kept,
  // it would be unpacked again at every run. The new copy must also be the very file that was
  // signed before it takes the old one's place.
  if (wrongArchive || (!unpackFailed && verify_ && freshDigest != target_.Sha256)) {
    unpackFailed = true;
    platform::RemoveFile(archive_);
  }
  if (unpackFailed) return false;
  // Whole and checked: now the old file steps aside for it.
  const bool movedToBackup = MoveToBackup();
  platform::FaultPoint("after-backup");
  GiveMode(fresh_, movedToBackup ? backup_ : std::string(), target_.Executable);
  platform::FaultPoint("before-final-move");
  return true;
}

void TRecordRepair::Replace(bool unpacked) {
  const TUpdaterOptions& o = UpdaterOptions();
  if (unpacked && platform::MoveFileNoReplace(fresh_, local_)) {
    shared_.RenamedInto.insert(ExtractFilePath(local_));
    platform::RemoveFile(archive_);
    shared_.Discard(backup_);
    RemoveLeftovers();
    target_.FileDate = GetFileDosDate(local_);
    if (!shared_.DatesChanged && !o.IsHardCheck(name_)) shared_.DatesChanged = true;
    return;
  }
  // The new copy did not take the file's place: the old file goes back, the archive stays for the
  // next run, and the record keeps its date so nothing is taken as up to date.
  // A backup left by an interrupted earlier run goes back too: it is the player's file, and the
  // move never replaces a file that is in place.
  shared_.UnpackFailed = true;
  platform::RemoveFile(fresh_);
  RestoreBackup();
}

}  // namespace kova
