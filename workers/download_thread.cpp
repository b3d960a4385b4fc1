#include "workers/download_thread.h"

#include "net/http_date.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/error.h"
#include "workers/crc32.h"

namespace kova {

TDownloadThread::TDownloadThread(std::string url, std::string fileName, TDateTime localDate,
                                 const platform::TEvent* cancelEvent, TWorkerProgressEvent onProgress)
    : Url(std::move(url)),
      FileName(std::move(fileName)),
      LocalDate(localDate),
      CancelEvent(cancelEvent),
      OnProgress(std::move(onProgress)),
      ownsTarget_(true) {
  Crc = kCrcInit;
  const std::string part = FileName + kPartSuffix;
  // A partial file that is a link would have the download written wherever it points.
  if (platform::IsSymbolicLink(part)) platform::DeleteFile(part);
  if (platform::FileExists(part)) {
    auto existing = platform::OpenFileStream(part, platform::TFileMode::OpenReadWrite);
    const std::int64_t size = existing->Size();
    // The end of an interrupted file is fetched again rather than trusted.
    if (size > kResumeMargin) {
      existing->Seek(0);
      Crc = CrcOfStream(*existing, static_cast<std::uint64_t>(size - kResumeMargin), Crc);
      existing->Seek(size - kResumeMargin);
      ownedTarget_ = std::move(existing);
    }
  }
  if (!ownedTarget_) ownedTarget_ = platform::OpenFileStream(part, platform::TFileMode::Create);
  target_ = ownedTarget_.get();
  Start();
}

TDownloadThread::TDownloadThread(std::string url, TDateTime localDate, TStream& target,
                                 const platform::TEvent* cancelEvent, TWorkerProgressEvent onProgress)
    : Url(std::move(url)),
      LocalDate(localDate),
      CancelEvent(cancelEvent),
      OnProgress(std::move(onProgress)),
      target_(&target),
      ownsTarget_(false) {
  Start();
}

TDownloadThread::~TDownloadThread() { JoinServingMessages(); }

void TDownloadThread::Report() {
  if (OnProgress) OnProgress(Url, Written, StartPos + http_->DownloadSize);
}

void TDownloadThread::ReadServerDate() {
  std::string value;
  if (!http_->HeaderValue("Last-Modified", value)) return;
  try {
    ServerDate = DecodeHttpDate(value);
  } catch (const std::exception&) {
    // An undecodable date leaves the previous one.
  }
}

void TDownloadThread::Store() {
  TMemoryStream& doc = http_->Document;
  if (!restartChecked_) {
    restartChecked_ = true;
    // Asked for the rest of a partial file but given the whole resource: start the file again,
    // so the kept prefix is not followed by a second copy of itself.
    if (ownsTarget_ && StartPos > 0 && http_->ResultCode == 200) {
      target_->Seek(0);
      target_->Truncate(0);
      Crc = kCrcInit;
      StartPos = Written = 0;
    }
  }
  const auto size = static_cast<std::int64_t>(doc.Data().size());
  if (!ownsTarget_ && Written + size > MaxStreamBody) {
    // Held in memory: a body this large is refused instead of exhausting it.
    Outcome = doFailed;
    http_->Sock.StopFlag = true;
    doc.Clear();
    return;
  }
  Crc = CrcUpdate(Crc, doc.Data().data(), doc.Data().size());
  target_->Write(doc.Data().data(), doc.Data().size());
  Written += size;
  doc.Clear();
  if (ownsTarget_) platform::FaultPoint("download");
}

void TDownloadThread::Abort() {
  // Runs on the GUI thread while it waits: stop the socket, and let the wait end now.
  platform::SendToGuiThread([this] {
    http_->Sock.StopFlag = true;
    DoneEvent.Set();
  });
}

void TDownloadThread::Hook(THookSocketReason reason) {
  if (CancelRequested() && Outcome != doCancelled) {
    Outcome = doCancelled;
    Abort();
    return;
  }
  if (reason != HR_ReadCount || http_->Document.Data().empty() || Outcome != doDownloaded) return;
  if (ServerDate == 0) {
    ReadServerDate();
    if (LocalDate != 0 && SameDateTime(ServerDate, LocalDate)) {
      Outcome = doNotNewer;
      Abort();
      return;
    }
  }
  Store();
  if (Outcome == doDownloaded) Report();
}

void TDownloadThread::DoWork() {
  Outcome = doDownloaded;
  http_ = std::make_unique<THTTPSend>();
  http_->UserAgent = "KovaUpdater/1.0";
  http_->NameValueSeparator = ":";
  http_->Timeout = Timeout;
  StartPos = Written = target_->Position();
  http_->RangeStart = StartPos;
  http_->Sock.OnStatus = [this](TTCPBlockSocket&, THookSocketReason reason, const std::string&) { Hook(reason); };
  if (OnProgress) OnProgress(Url, StartPos, 0);
  try {
    const bool completed = http_->PerformRequest("GET", Url);
    if (http_->ResultCode != 200 && http_->ResultCode != 206 && Outcome == doDownloaded) Outcome = doFailed;
    // A request that broke off before its body was framed (say, while reading the headers)
    // must not pass as an empty download.
    if (!completed && Outcome == doDownloaded && http_->DownloadSize == 0) Outcome = doFailed;
  } catch (...) {
    // The transfer broke off on an error of our own (say, the disk is full): that is a failed
    // download, never a complete one, and its partial file is given up.
    if (Outcome == doDownloaded) Outcome = doFailed;
    try {
      FinalPhase();
    } catch (...) {
      // The first error is the one reported.
    }
    throw;
  }
  FinalPhase();
}

void TDownloadThread::FinalPhase() {
  struct TCleanup {
    TDownloadThread& self;
    ~TCleanup() {
      self.Crc = ~self.Crc;
      self.http_.reset();
      self.ownedTarget_.reset();
    }
  } cleanup{*this};
  const std::string part = FileName + kPartSuffix;
  if (Outcome == doDownloaded) {
    if (ServerDate == 0) {
      ReadServerDate();
      if (LocalDate != 0 && ServerDate != 0 && !(ServerDate - LocalDate >= kMillisecondInDays)) Outcome = doNotNewer;
    }
    Store();
    Report();
    if (ownsTarget_) {
      // Nothing of an earlier, longer attempt may stay behind the data.
      target_->Truncate(Written);
      ownedTarget_.reset();
    }
    if (Outcome != doFailed && StartPos + http_->DownloadSize != Written) Outcome = doFailed;
    if (ownsTarget_ && Outcome != doFailed) platform::MoveFileNoReplace(part, FileName);
  } else if ((Outcome == doFailed || Outcome == doNotNewer) && ownsTarget_) {
    ownedTarget_.reset();
    platform::DeleteFile(part);
  }
}

}  // namespace kova
