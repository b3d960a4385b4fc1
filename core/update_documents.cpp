// The update run's documents: the options (followed while they name another), the launcher's
// own build, and the patch list, each downloaded or taken from its kept copy and judged.

#include <memory>

#include "core/kept_document.h"
#include "core/language.h"
#include "core/options.h"
#include "core/startup.h"
#include "core/update_run_state.h"
#include "core/utility.h"
#include "platform/files.h"
#include "platform/settings_store.h"
#include "support/signature.h"
#include "support/translation.h"
#include "workers/checksum_thread.h"
#include "workers/download_thread.h"

namespace kova {

namespace {

// An options document is a few kilobytes, a signature less than one: a server that sends more
// is not what it claims to be.
constexpr std::int64_t kMaxOptionsSize = 1 << 20;
constexpr std::int64_t kMaxSignatureSize = 4096;

// "ADDRESS: CAUSE", the cause translated.
std::string Because(const std::string& url, const char* cause) {
  return url + ": " + Tr(cause);
}

// The address that served a document, or the first one asked when none did.
std::string ServedUrl(const TAddress& where, int servedBy) {
  return servedBy >= 0 ? where.UrlAt(static_cast<std::size_t>(servedBy)) : where.FirstUrl();
}

}  // namespace

bool TUpdateRun::FetchOptions(TRunState& run) {
  TUpdaterOptions& o = UpdaterOptions();
  if (!IsWebUrl(o.OptionsUrl)) return true;
  int rounds = 0;
  while (o.OptionsUrl != run.LastOptionsUrl) {
    // Documents that name each other in a cycle would otherwise be fetched for ever.
    if (++rounds > kMaxOptionsRounds) {
      EndRunBecause(
          Tr("Error while loading options"),
          Because(o.OptionsUrl, TrNoop("the options documents name each other in a loop")));
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
      EndRunBecause(Tr("Error while loading options"));
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
      const std::string url = ServedUrl(where, fetched.ServedBy);
      try {
        run.Stream.Seek(0);
        probe.LoadFromStream(run.Stream);
        // Signed for this game as its options, still valid, and not older than one accepted.
        const char* misfit = StampMisfit(probe.Stamp, "options", uid, TodayUtc());
        fresh = !misfit && AcceptSerial("OptionsSerial", probe.Stamp.Serial, run.Stream.Data());
        if (!fresh)
          reason_ = Because(
              url, misfit ? misfit : TrNoop("the options are older than those accepted before"));
      } catch (const std::exception& e) {
        reason_ = Because(url, TrNoop("the document could not be read")) + " (" + e.what() + ")";
        if (askAnother()) continue;
        EndRunBecause(Tr("Error while reading options"));
        return false;
      }
      // A mirror that fell behind serves an older document: another may have the current one.
      if (!fresh) {
        if (askAnother()) continue;
        EndRunBecause(Tr("Error while loading options"));
        return false;
      }
    }
    try {
      run.Stream.Seek(0);
      o.LoadFromStream(run.Stream);
    } catch (const std::exception& e) {
      o.Uid = uid;
      o.PublicKey = key;
      reason_ =
          Because(ServedUrl(where, fetched.ServedBy), TrNoop("the document could not be read")) +
          " (" + e.what() + ")";
      EndRunBecause(Tr("Error while reading options"));
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
    TDownloadThread worker(*session_, DocumentAddress(run, o.UpdaterUrl, o.UpdaterMirrors),
                           pinned ? 0 : ownDate, run.Stream, &cancelEvent_, ProgressCallback(),
                           kNoLimit, kAskTheServer);
    WaitWithMessages(worker);
    outcome = worker.Outcome;
    serverDate = worker.ServerDate;
    // The run goes on with the running build, and says why it could not take the new one.
    if (outcome == doFailed && !cancelled_) host_.ShowReason(worker.Reason);
  }
  // Without a key, a build is new when the server's date is later than the running build's: the
  // same rule as the one that stops the transfer early on an equal date.
  if (!pinned && outcome == doDownloaded && ownDate != 0 && serverDate != 0 &&
      !(serverDate - ownDate >= kMillisecondInDays))
    outcome = doNotNewer;
  // Nor is a build dated ahead of the clock taken: dated so on the disk it would freeze every
  // later update, and dated otherwise it would look new again at every start.
  if (!pinned && outcome == doDownloaded && IsAheadOfClock(serverDate)) outcome = doNotNewer;
  if (pinned && outcome == doDownloaded && Sha256Hex(run.Stream.Data()) != o.UpdaterSha256) {
    outcome = doFailed;
    host_.ShowReason(
        Because(o.UpdaterUrl, TrNoop("the build is not the one the signed options name")));
  }
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
  if (FileHasDigest(exePath, o.UpdaterSha256, &cancelEvent_)) {
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
  reason_.clear();
  const bool bundled = run.Bundle != nullptr;
  if (cancelled_ || (!bundled && !IsWebUrl(o.PatchListUrl))) return true;
  ShowInfo(Tr("Downloading patchlist..."));
  if ((o.IsFullCheckDue() || checkRequested_) && o.ReloadPatchList()) run.ListDate = 0;
  // With a key pinned every run verifies a signed list.
  const bool pinned = !o.PublicKey.empty();
  if (pinned) run.ListDate = 0;
  TKeptDocument kept(KeptFolder(), "patchlist");
  const TAddress where = DocumentAddress(run, o.PatchListUrl, o.PatchListMirrors);
  TFetched fetched;
  if (bundled) {
    fetched = BundleDocument(run);
  } else {
    fetched = FetchDocument(run, kept, where, run.ListDate, TDownloadThread::MaxStreamBody);
    // A kept copy that no longer verifies is dropped and the list fetched whole.
    if (pinned && fetched.NotModified && !cancelled_ &&
        !SignatureHolds(where, run.Stream.Data(), fetched.Signature, true)) {
      kept.Forget();
      fetched = FetchDocument(run, kept, where, run.ListDate, TDownloadThread::MaxStreamBody);
    }
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
  // Unchanged: the kept copy is read as the list, as when it is downloaded (a signed one is
  // judged again). The cache gives the dates of the files checked against it, but it holds no
  // chunk index, codec or executable mark: a list taken from it alone would have a damaged file
  // fetched whole, or restored without its mark.
  if (fetched.NotModified) outcome = doDownloaded;
  ShowInfo("");
  host_.ProcessMessages();
  if (outcome == doFailed) {
    if (!cancelled_) {
      EndRunBecause(Tr("Error while loading patchlist"));
      return false;
    }
  } else if (outcome == doDownloaded) {
    // A bundle's list is judged by the signature beside it in the bundle.
    if (!fetched.NotModified &&
        !SignatureHolds(where, run.Stream.Data(), fetched.Signature, bundled)) {
      if (bundled)
        reason_ =
            Because(run.Bundle->Path(), TrNoop("the signature does not match the pinned key"));
      if (AnotherAddressLeft(where, fetched.ServedBy)) return AcquirePatchList(run);
      EndRunBecause(Tr("Error while loading patchlist"));
      return false;
    }
    run.Map.Clear(true);
    const std::string url = bundled ? run.Bundle->Path() : ServedUrl(where, fetched.ServedBy);
    TDocumentStamp stamp;
    try {
      run.Stream.Seek(0);
      LoadPatchList(run.Stream, run.Map, &stamp, &run.Removed);
    } catch (const std::exception& e) {
      run.Map.Clear(true);
      reason_ = Because(url, TrNoop("the list could not be read")) + " (" + e.what() + ")";
      // A kept copy of an unsigned list that no longer reads: the cache is the list applied last.
      if (fetched.NotModified && !pinned) {
        LoadPatchListCache(o.RootKey, cacheKey + "\\", run.Map);
        if (run.Map.Count() > 0) {
          run.Stream.Clear();
          return true;
        }
      }
      if (AnotherAddressLeft(where, fetched.ServedBy)) return AcquirePatchList(run);
      EndRunBecause(Tr("Error while reading patchlist"));
      return false;
    }
    // The next version's list served as the list (a mistake on the server) is no list yet.
    if (stamp.Kind == "nextlist") {
      run.Map.Clear(true);
      reason_ = Because(url, TrNoop("the document is the next version's list, not the list"));
      if (AnotherAddressLeft(where, fetched.ServedBy)) return AcquirePatchList(run);
      EndRunBecause(Tr("Error while reading patchlist"));
      return false;
    }
    if (pinned) {
      // A signed list gives the digests of every archive and file.
      bool complete = true;
      for (auto it = run.Map.Iterate(); TPatchItem* item = it->CurrentValue(); it->Next())
        complete = complete && IsSha256Hex(item->Sha256) && IsSha256Hex(item->FileItem->Sha256);
      if (!complete) {
        run.Map.Clear(true);
        reason_ = Because(url, TrNoop("a signed list must give the SHA-256 of every file"));
        if (AnotherAddressLeft(where, fetched.ServedBy)) return AcquirePatchList(run);
        EndRunBecause(Tr("Error while reading patchlist"));
        return false;
      }
      // Another game's list, or another kind of document, is refused before its serial counts.
      const char* misfit = StampMisfit(stamp, "list", o.Uid, TodayUtc());
      if (misfit || !AcceptSerial("PatchListSerial", stamp.Serial, run.Stream.Data())) {
        run.Map.Clear(true);
        reason_ =
            Because(url, misfit ? misfit : TrNoop("the list is older than the one installed"));
        // A mirror that fell behind serves an older list: another may have the current one.
        if (AnotherAddressLeft(where, fetched.ServedBy)) return AcquirePatchList(run);
        EndRunBecause(Tr("Error while loading patchlist"));
        return false;
      }
    }
    // A signed list is fetched at every run; the dates the cache holds for records it lists
    // unchanged still spare the reads of unchanged files.
    run.FreshList = !(pinned || fetched.NotModified) ||
                    !TakeCachedDates(o.RootKey, cacheKey + "\\", run.Map, pinned);
    if (run.FreshList && !o.Uid.empty()) {
      NoteDeparted(run, cacheKey + "\\");
      RegDeleteKeyPath(o.RootKey, cacheKey);
    }
    if (!fetched.NotModified && !bundled)
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
  if (!DecodePublicKey(keyText, key)) {  // a key that is no key trusts nothing
    reason_ = Tr("the launcher's pinned key is not a key");
    return false;
  }
  std::string url = document.FirstUrl() + ".sig";
  if (!kept) {
    TMemoryStream fetched;
    TDownloadOutcome outcome;
    {
      TDownloadThread worker(*session_, TAddress(document.Source, document.Path + ".sig"), 0,
                             fetched, &cancelEvent_, nullptr, kMaxSignatureSize, kAskTheServer);
      WaitWithMessages(worker);
      outcome = worker.Outcome;
      if (outcome != doDownloaded) reason_ = worker.Reason;
      url = worker.Url;
    }
    if (outcome != doDownloaded) return false;
    signature = fetched.Data();
  }
  if (VerifySignature(data, signature, key)) return true;
  reason_ = Because(url, TrNoop("the signature does not match the pinned key"));
  return false;
}

TUpdateRun::TFetched TUpdateRun::BundleDocument(TRunState& run) {
  TFetched fetched;
  std::string list;
  run.Stream.Clear();
  if (!run.Bundle->Text("patchlist.xml", TDownloadThread::MaxStreamBody, list)) {
    reason_ = Because(run.Bundle->Path(), TrNoop("the bundle holds no list"));
    return fetched;
  }
  run.Bundle->Text("patchlist.xml.sig", kMaxSignatureSize, fetched.Signature);
  run.Stream.Write(list.data(), list.size());
  run.Stream.Seek(0);
  fetched.Outcome = doDownloaded;
  return fetched;
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
  std::vector<std::string> headers = kAskTheServer;
  headers.push_back("Accept-Encoding: gzip");
  TDownloadThread worker(*session_, where, localDate, run.Stream, &cancelEvent_, ProgressCallback(),
                         maxBody, std::move(headers), conditions);
  WaitWithMessages(worker);
  fetched.Outcome = worker.Outcome;
  if (worker.Outcome == doFailed) reason_ = worker.Reason;
  fetched.NotModified = worker.NotModified;
  fetched.Status = worker.Status;
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

}  // namespace kova
