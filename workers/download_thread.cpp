#include "workers/download_thread.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "net/content_coding.h"
#include "net/http_date.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/error.h"
#include "support/text.h"
#include "support/translation.h"
#include "workers/crc32.h"
#include "workers/transfer_session.h"

namespace kova {

bool IsUsableValidator(const std::string& value) {
  constexpr std::size_t kMaxValidator = 256;
  if (value.size() > kMaxValidator) return false;
  for (const char c : value) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

TDownloadThread::TDownloadThread(TTransferSession& session, TAddress where, std::string fileName,
                                 TDateTime localDate, const platform::TEvent* cancelEvent,
                                 TWorkerProgressEvent onProgress, bool revalidate,
                                 std::int64_t maxBody, bool sha256)
    : Where(std::move(where)),
      Url(Where.FirstUrl()),
      Session(session),
      FileName(std::move(fileName)),
      LocalDate(localDate),
      CancelEvent(cancelEvent),
      OnProgress(std::move(onProgress)),
      Revalidate(revalidate),
      MaxBody(maxBody),
      ownsTarget_(true) {
  Crc = kCrcInit;
  const std::string part = FileName + kPartSuffix;
  // A partial file is opened only as itself: a link at its name (or slipped in after any check)
  // is not followed, and the download starts anew in a file of its own.
  std::unique_ptr<TStream> existing;
  try {
    existing = platform::OpenFileStream(part, platform::TFileMode::OpenReadWrite);
  } catch (const std::exception&) {
    // none there, or not one to resume
  }
  if (existing) {
    const std::int64_t size = existing->Size();
    // The end of an interrupted file is fetched again rather than trusted.
    if (size > kResumeMargin) {
      existing->Seek(0);
      Crc = CrcOfStream(*existing, static_cast<std::uint64_t>(size - kResumeMargin), Crc);
      existing->Seek(size - kResumeMargin);
      ownedTarget_ = std::move(existing);
    }
    existing.reset();
  }
  if (!ownedTarget_) {
    ownedTarget_ = platform::OpenFileStream(part, platform::TFileMode::Create);
    // The hash runs beside the transfer, on a thread of its own.
    if (sha256) hash_ = std::make_unique<TParallelSha256>();
  }
  target_ = ownedTarget_.get();
  Start();
}

TDownloadThread::TDownloadThread(TTransferSession& session, TAddress where, TDateTime localDate,
                                 TStream& target, const platform::TEvent* cancelEvent,
                                 TWorkerProgressEvent onProgress, std::int64_t maxBody,
                                 std::vector<std::string> requestHeaders, TConditions conditions)
    : Where(std::move(where)),
      Url(Where.FirstUrl()),
      Session(session),
      LocalDate(localDate),
      CancelEvent(cancelEvent),
      OnProgress(std::move(onProgress)),
      MaxBody(maxBody),
      RequestHeaders(std::move(requestHeaders)),
      Conditions(std::move(conditions)),
      target_(&target),
      ownsTarget_(false) {
  Start();
}

TDownloadThread::~TDownloadThread() {
  JoinServingMessages();
}

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
  // The body of an error (a 404's page, say) is no part of the object.
  if (http_->ResultCode != 200 && http_->ResultCode != 206) {
    doc.Clear();
    return;
  }
  if (!restartChecked_) {
    restartChecked_ = true;
    // Asked for the rest of a partial file but given the whole resource: start the file again,
    // so the kept prefix is not followed by a second copy of itself.
    if (ownsTarget_ && StartPos > 0 && http_->ResultCode == 200) {
      target_->Seek(0);
      target_->Truncate(0);
      Crc = kCrcInit;
      if (hash_) hash_ = std::make_unique<TParallelSha256>();
      StartPos = Written = 0;
    }
    // The rest of a partial file must start where the kept part ends: bytes from elsewhere in
    // the resource would be spliced in at the wrong place.
    if (http_->ResultCode == 206 && !RangeStartsAt(StartPos)) {
      Fail(TrNoop("the server sent another part of the file than the one asked for"));
      return;
    }
    // The rest asked of another address is of the same object only when its size agrees.
    const std::int64_t total = ObjectSize();
    if (total > 0 && knownTotal_ > 0 && total != knownTotal_ && StartPos > begin_) {
      otherSize_ = true;
      Fail();
      return;
    }
    if (total > 0) knownTotal_ = total;
    // A body in a content coding is decoded as it arrives. A coding we cannot decode, or a coded
    // piece of a resource (the rest of a partial file, coded on its own), is a failed download.
    std::string coding;
    http_->HeaderValue("Content-Encoding", coding);
    const auto kind = TContentDecoder::CodingOf(coding);
    if (kind != TContentDecoder::TCoding::Identity) {
      if (kind == TContentDecoder::TCoding::Unknown || http_->ResultCode == 206) {
        Fail(TrNoop("the server sent the file in a coding that cannot be read"));
        return;
      }
      decoder_ = std::make_unique<TContentDecoder>(kind);
    }
  }
  const std::string& data = doc.Data();
  bool tooLarge = false;
  auto write = [&](const char* bytes, std::size_t count) {
    const auto size = static_cast<std::int64_t>(count);
    // Held in memory, a body this large is refused instead of exhausting it; written to a file,
    // one larger than its caller can use is refused instead of filling the disk. A bound below
    // zero (a size gone wrong) lets nothing through: it never means "no limit".
    const std::int64_t limit =
        std::max<std::int64_t>(0, ownsTarget_ ? MaxBody : std::min(MaxBody, MaxStreamBody));
    if (tooLarge || size > limit - Written) {
      tooLarge = true;
      return;
    }
    Crc = CrcUpdate(Crc, bytes, count);
    if (hash_) hash_->Update(bytes, count);
    target_->Write(bytes, count);
    Written += size;
  };
  const bool decoded = decoder_ ? decoder_->Decode(data.data(), data.size(), write)
                                : (write(data.data(), data.size()), true);
  doc.Clear();
  if (tooLarge || !decoded) {
    Fail(tooLarge ? TrNoop("the server sent more than the file can hold")
                  : TrNoop("the server's compressed answer is broken"));
    return;
  }
  if (ownsTarget_) platform::FaultPoint("download");
}

std::int64_t TDownloadThread::ObjectSize() const {
  if (http_->ResultCode == 200) return http_->DownloadSize;
  std::string range;
  std::int64_t total = 0;
  if (http_->ResultCode != 206 || !http_->HeaderValue("Content-Range", range)) return 0;
  const std::size_t slash = range.rfind('/');
  return slash != std::string::npos && ParseDecimal64(TrimBlanks(range.substr(slash + 1)), total)
             ? total
             : 0;
}

bool TDownloadThread::RangeStartsAt(std::int64_t position) const {
  std::string range;
  if (!http_->HeaderValue("Content-Range", range)) return false;
  // "bytes FIRST-LAST/TOTAL"
  const std::string text = TrimBlanks(range);
  if (text.compare(0, 6, "bytes ") != 0) return false;
  const std::size_t dash = text.find('-', 6);
  std::int64_t first = -1;
  return dash != std::string::npos && ParseDecimal64(text.substr(6, dash - 6), first) &&
         first == position;
}

void TDownloadThread::Fail(const char* why) {
  if (why && cause_.empty()) cause_ = Tr(why);
  Outcome = doFailed;
  http_->Sock.StopFlag = true;
  http_->Document.Clear();
}

void TDownloadThread::Abort() {
  // Runs on the GUI thread while it waits: stop the socket, and let the wait end now.
  platform::SendToGuiThread([this] {
    http_->Sock.StopFlag = true;
    DoneEvent.Set();
  });
}

void TDownloadThread::Hook(THookSocketReason reason, const std::string& value) {
  if (CancelRequested() && Outcome != doCancelled) {
    Outcome = doCancelled;
    Abort();
    return;
  }
  // Each wait has its own limit, so a server that sends a byte now and then would hold a
  // download for ever: a transfer that brings less than kStallBytes in a whole time-out fails.
  const std::int64_t bytes = reason == HR_ReadCount ? std::strtoll(value.c_str(), nullptr, 10) : 0;
  windowBytes_ += bytes;
  const auto now = std::chrono::steady_clock::now();
  if (bytes > 0 && !answered_) {
    answered_ = true;
    Session.Control.NoteFirstByte(now - asked_);
  }
  if (now - windowStart_ >= std::chrono::milliseconds(Timeout)) {
    if (windowBytes_ < kStallBytes && Outcome == doDownloaded) {
      Fail(TrNoop("the server stopped sending"));
      return;
    }
    windowStart_ = now;
    windowBytes_ = 0;
  }
  slowBytes_ += bytes;
  if (now - slowStart_ >= std::chrono::milliseconds(SlowWindow)) {
    if (slowBytes_ < kSlowFloor * SlowWindow / 1000 && Outcome == doDownloaded) {
      Fail(TrNoop("the server sends too slowly"));
      return;
    }
    slowStart_ = now;
    slowBytes_ = 0;
  }
  if (reason != HR_ReadCount || Outcome != doDownloaded) return;
  // The body read before this piece is in the document now (a piece lands there only after the
  // socket call that reads it).
  if (!http_->Document.Data().empty()) {
    if (ServerDate == 0) {
      ReadServerDate();
      if (LocalDate != 0 && SameDateTime(ServerDate, LocalDate)) {
        Outcome = doNotNewer;
        Abort();
        return;
      }
    }
    Store();
    if (Outcome != doDownloaded) return;
    Report();
  }
  // The player's speed limit and pause, shared by every transfer: the next bytes are taken from
  // the connection only when they allow it. Every piece counts, the headers' included.
  if (bytes <= 0) return;
  const auto before = std::chrono::steady_clock::now();
  const auto answer = Session.Control.Take(
      bytes, [this] { return CancelRequested(); },
      ownsTarget_ ? std::chrono::milliseconds(PauseHold) : std::chrono::milliseconds::max());
  if (answer == TTransferControl::TAnswer::Stopped) {
    Outcome = doCancelled;
    Abort();
  } else if (answer == TTransferControl::TAnswer::HeldTooLong) {
    // A long pause gives the connection up before the server drops it; the rest is asked for
    // with Range once the player resumes.
    heldOut_ = true;
    http_->Sock.StopFlag = true;
  } else if (std::chrono::steady_clock::now() - before >= std::chrono::seconds(1)) {
    // Time spent waiting for the limit or a pause is no stall of the server's.
    windowStart_ = slowStart_ = std::chrono::steady_clock::now();
    windowBytes_ = slowBytes_ = 0;
  }
}

void TDownloadThread::NewClient() {
  http_ = std::make_unique<THTTPSend>();
  http_->UserAgent = "KovaUpdater/1.0";
  // One connection per server serves every request of the run, one after the other: each new
  // one would cost round trips (and a TLS handshake) before the first byte.
  http_->Protocol = "1.1";
  http_->Pool = &Session.Pool;
  http_->Proxies = &Session.Proxies;
  http_->NameValueSeparator = ":";
  http_->Timeout = Timeout;
  http_->AnswerTimeout = answerTimeout_;
  // A site moved to https (or a mirror) answers with a redirect.
  http_->MaxRedirects = 5;
  http_->Sock.OnStatus = [this](TTCPBlockSocket&, THookSocketReason reason,
                                const std::string& value) { Hook(reason, value); };
  // After a copy that did not match its checksum: caches on the way must ask the server again.
  if (Revalidate) http_->Headers = kAskTheServer;
  http_->Headers.insert(http_->Headers.end(), RequestHeaders.begin(), RequestHeaders.end());
  if (conditional_)
    http_->Headers.insert(http_->Headers.end(), Conditions.Lines.begin(), Conditions.Lines.end());
  StartPos = Written;
  http_->RangeStart = StartPos;
  restartChecked_ = false;
  windowStart_ = slowStart_ = std::chrono::steady_clock::now();
  windowBytes_ = slowBytes_ = 0;
}

void TDownloadThread::DoWork() {
  Outcome = doDownloaded;
  Written = target_->Position();
  begin_ = ownsTarget_ ? 0 : Written;
  const std::vector<std::size_t> order = Where.Source->Order();
  try {
    for (std::size_t k = 0; k < order.size();) {
      Url = Where.UrlAt(order[k]);
      answerTimeout_ = k + 1 < order.size() ? std::min(MirrorAnswerTimeout, Timeout) : 0;
      Attempt();
      if (otherSize_) {
        // The kept start belongs to another copy: this address serves the object whole.
        PrepareForAnotherAddress(true);
        otherSize_ = false;
        continue;
      }
      if (!AnotherAddressMayServe()) {
        if (Outcome == doDownloaded || Outcome == doNotNewer) {
          ServedBy = static_cast<int>(order[k]);
          Where.Source->NoteAnswered(order[k]);
        }
        break;
      }
      Where.Source->NoteFailed(order[k]);
      if (++k == order.size()) break;
      PrepareForAnotherAddress(!ownsTarget_ || decoder_ != nullptr);
    }
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

void TDownloadThread::Attempt() {
  Outcome = doDownloaded;
  cause_.clear();
  // The validators of a kept copy mean something only to the address that gave them.
  conditional_ = !Conditions.Lines.empty() && Url == Conditions.Url;
  NewClient();
  if (OnProgress) OnProgress(Url, StartPos, 0);
  asked_ = std::chrono::steady_clock::now();
  answered_ = false;
  bodyComplete_ = http_->PerformRequest("GET", Url);
  // A server that refuses the conditions themselves (validators it no longer takes) is asked
  // once more without them: a kept copy must never stop every later run.
  if (conditional_ && Outcome == doDownloaded && http_->ResultCode >= 400 &&
      http_->ResultCode < 500) {
    conditional_ = false;
    NewClient();
    bodyComplete_ = http_->PerformRequest("GET", Url);
  }
  // Paused long enough to have given the connection up: once resumed, the rest is asked for
  // on a new one (a coded body cannot be taken up in the middle, and fails).
  while (heldOut_ && Outcome == doDownloaded) {
    heldOut_ = false;
    if (decoder_) {
      Outcome = doFailed;
      cause_ = Tr("a pause broke off a compressed answer");
      break;
    }
    if (!Session.Control.WaitWhilePaused([this] { return CancelRequested(); })) {
      Outcome = doCancelled;
      break;
    }
    NewClient();
    bodyComplete_ = http_->PerformRequest("GET", Url);
  }
  ETag.clear();
  LastModifiedText.clear();
  http_->HeaderValue("ETag", ETag);
  http_->HeaderValue("Last-Modified", LastModifiedText);
  if (!IsUsableValidator(ETag)) ETag.clear();
  if (!IsUsableValidator(LastModifiedText)) LastModifiedText.clear();
  NotModified =
      bodyComplete_ && http_->ResultCode == 304 && conditional_ && Outcome == doDownloaded;
  if (NotModified) {
    ReadServerDate();
    Outcome = doNotNewer;
  } else if (http_->ResultCode != 200 && http_->ResultCode != 206 && Outcome == doDownloaded) {
    Outcome = doFailed;
  }
  // A request that broke off before its body began (say, while reading the headers) must not
  // pass as an empty download, and leaves nothing worth resuming.
  if (!bodyComplete_ && Outcome == doDownloaded && !http_->BodyStarted) Outcome = doFailed;
}

bool TDownloadThread::AnotherAddressMayServe() const {
  if (CancelRequested() || Outcome == doCancelled || Outcome == doNotNewer) return false;
  // A body cut short.
  if (Outcome == doDownloaded) return !bodyComplete_;
  // No answer (refused, timed out, a failed handshake), a server error, a missing object or a
  // range it cannot serve, or a body that was not the object's. Any other answer (a 403, say) is
  // the publication's, and every copy of it gives the same.
  const int code = http_->ResultCode;
  // "Not modified" to a request that named no copy is a server gone wrong, not the publication.
  if (code == 304 && !conditional_) return true;
  return !(code >= 300 && code < 500 && code != 404 && code != 416);
}

void TDownloadThread::PrepareForAnotherAddress(bool fromStart) {
  // What arrived of a body cut short is kept, and the next address is asked for the rest.
  if (Outcome == doDownloaded) Store();
  if (fromStart) {
    target_->Seek(begin_);
    target_->Truncate(begin_);
    Written = begin_;
    Crc = kCrcInit;
    if (hash_) hash_ = std::make_unique<TParallelSha256>();
    knownTotal_ = 0;
  }
  decoder_.reset();
  Outcome = doDownloaded;
}

void TDownloadThread::FinalPhase() {
  struct TCleanup {
    TDownloadThread& self;
    ~TCleanup() {
      self.Crc = ~self.Crc;
      if (self.hash_) self.Sha256 = self.hash_->HexDigest();
      self.hash_.reset();
      self.http_.reset();
      self.ownedTarget_.reset();
    }
  } cleanup{*this};
  if (http_) Status = http_->ResultCode;
  const std::string part = FileName + kPartSuffix;
  if (Outcome == doDownloaded) {
    try {
      if (ServerDate == 0) {
        ReadServerDate();
        if (LocalDate != 0 && ServerDate != 0 && !(ServerDate - LocalDate >= kMillisecondInDays))
          Outcome = doNotNewer;
      }
      Store();
      Report();
      if (ownsTarget_) {
        // Nothing of an earlier, longer attempt may stay behind the data. (It is not flushed:
        // an archive is checked against the list before it is used, and again while it is
        // unpacked, so one torn by a power cut is fetched again, never installed.)
        target_->Truncate(Written);
        ownedTarget_.reset();
      }
    } catch (...) {
      // The last piece could not be stored (say, the disk is full): as for any piece before it,
      // that is a failed download, and its partial file is given up.
      Outcome = doFailed;
      ownedTarget_.reset();
      if (ownsTarget_) platform::RemoveFile(part);
      throw;
    }
    // Complete means the whole body as the response framed it: its length, its last chunk, or
    // (without either) the orderly end of the connection; and coded data to its own end.
    if (Outcome != doFailed && (!bodyComplete_ || (decoder_ && !decoder_->Finished())))
      Outcome = doFailed;
    // A coded body that broke off cannot be resumed by its decoded length.
    if (Outcome == doFailed && decoder_ && ownsTarget_) platform::RemoveFile(part);
    // The archive takes its name in place of whatever stands there (a copy planted while this
    // one downloaded, a leftover): the file named after the download is the one checksummed.
    if (ownsTarget_ && Outcome != doFailed && !platform::MoveFileReplacing(part, FileName)) {
      Outcome = doFailed;
      cause_ = Tr("the downloaded file could not take its name");
    }
  } else if ((Outcome == doFailed || Outcome == doNotNewer) && ownsTarget_) {
    ownedTarget_.reset();
    platform::RemoveFile(part);
  }
  if (Outcome == doFailed) Reason = Url + ": " + DescribeFailure();
}

std::string TDownloadThread::DescribeFailure() const {
  if (!cause_.empty()) return cause_;
  if (!http_) return Tr("the download failed");
  // The socket's error first: without an answer the client reports a status of its own.
  switch (http_->Sock.LastError()) {
    case 0:
    case kErrStopped:
      break;
    case kErrConnRefused:
      return Tr("connection refused");
    case kErrHostNotFound:
      return Tr("the name does not resolve");
    case kErrTimeout:
      return Tr("the server did not answer in time");
    case kErrClosed:
      return Tr("the server closed the connection");
    case kErrTls:
      if (http_->Sock.Untrusted())
        return std::string(Tr("the certificate is not trusted")) + " (" +
               http_->Sock.LastErrorDesc() + ")";
      return http_->Sock.LastErrorDesc();
    default:
      return http_->Sock.LastErrorDesc();
  }
  const int code = http_->ResultCode;
  if (code != 200 && code != 206) {
    const std::string status = std::to_string(code);
    return http_->ResultString.empty() ? status : status + " " + http_->ResultString;
  }
  if (!bodyComplete_) return Tr("the answer broke off");
  return Tr("the download failed");
}

}  // namespace kova
