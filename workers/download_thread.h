#pragma once
// Downloads one object on a worker thread, into a caller's stream or into a file through a
// resumable ".part" file, with a CRC-32 of the data, progress reports, cancellation and a check
// whether the server copy is newer than the caller's. A request that fails on one address of
// the object's source (no connection, a 5xx, 404 or 416, a body cut short) goes to the next; a
// file continues there with Range, unless that copy's size says it is another file.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/http_send.h"
#include "net/source.h"
#include "support/datetime.h"
#include "support/signature.h"
#include "support/stream.h"
#include "support/test_hooks.h"
#include "workers/worker_thread.h"

namespace kova {

// The bound of a body that may be as large as it likes.
constexpr std::int64_t kNoLimit = INT64_MAX;

// What a request says so that every cache on the way checks its copy with the server first. A
// document named by its address alone (the options, the list, a signature, the launcher's build)
// can change under that name; a cache that answered it on its own would hide a new release.
inline const std::vector<std::string> kAskTheServer = {"Cache-Control: no-cache",
                                                       "Pragma: no-cache"};

enum TDownloadOutcome : std::uint8_t {
  doDownloaded = 0,
  doFailed = 1,
  doCancelled = 2,
  doNotNewer = 3,
};

// What a conditional request asks: whether the copy `Url` gave with these validators
// ("If-None-Match: ...", "If-Modified-Since: ...") is still current.
struct TConditions {
  std::string Url;
  std::vector<std::string> Lines;
};

// Whether a validator (an ETag, a Last-Modified) is one to keep and send back: printable ASCII,
// and short. A server or mirror that gives another would have every later request refused.
bool IsUsableValidator(const std::string& value);

class TTransferSession;

class TDownloadThread final : public TCommonThread {
 public:
  // File mode: prepares FileName + ".part" (resuming it when it holds more than the margin) and
  // starts. Raises when the partial file cannot be opened or created.
  // With `revalidate` the request asks caches on the way to check with the server. A file that
  // grows past `maxBody` bytes fails the download (a negative bound lets nothing through). With
  // `sha256` a download that starts from the beginning also takes the file's SHA-256 as it
  // arrives (into Sha256).
  TDownloadThread(TTransferSession& session, TAddress where, std::string fileName,
                  TDateTime localDate, const platform::TEvent* cancelEvent,
                  TWorkerProgressEvent onProgress, bool revalidate = false,
                  std::int64_t maxBody = kNoLimit, bool sha256 = false);
  // Stream mode: the body is appended to `target` at its position; one longer than `maxBody`
  // bytes, or than MaxStreamBody, fails the download.
  // `requestHeaders`: lines every request carries besides its own (the codings accepted);
  // `conditions`: a kept copy's validators, sent only to the address that gave them. A "304 Not
  // Modified" answer to such a conditional request is doNotNewer with NotModified set; to any
  // other request it is a failure, as there is no copy it could mean.
  TDownloadThread(TTransferSession& session, TAddress where, TDateTime localDate, TStream& target,
                  const platform::TEvent* cancelEvent, TWorkerProgressEvent onProgress,
                  std::int64_t maxBody = kNoLimit, std::vector<std::string> requestHeaders = {},
                  TConditions conditions = {});
  ~TDownloadThread() override;
  // Waits until the thread has ended. After an abort (cancel, equal date) the GUI thread's wait
  // returns early; Crc and the partial file are final only once the thread has ended.
  void Finish() { JoinServingMessages(); }
  // Ends the transfer as a cancel does, for this download alone (a transfer fetched ahead that
  // the run no longer needs); its partial file stays for a later resume.
  void Stop() { stopRequested_ = true; }

  const TAddress Where;
  // The address asked now (the worker's own while it runs).
  std::string Url;
  // The run's connections, proxies, speed limit and pause.
  TTransferSession& Session;
  // The index in Where's source of the address that served the object once the work has ended;
  // -1 when none did.
  int ServedBy = -1;
  const std::string FileName;
  const TDateTime LocalDate;
  // The server's Last-Modified in local time; 0 until read or when absent.
  TDateTime ServerDate = 0;
  std::int64_t StartPos = 0;
  std::int64_t Written = 0;
  // File mode: CRC-32 of the whole target content once the work has ended.
  std::uint32_t Crc = 0;
  // File mode with `sha256`: the SHA-256 of the whole file as lower-case hex once the work has
  // ended; empty when a resumed part was kept (its start was not seen here).
  std::string Sha256;
  TDownloadOutcome Outcome = doDownloaded;
  // A failed download's reason as the player reads it, in the player's language: the address
  // last asked and what went wrong there ("...: 404 Not Found", "...: connection refused").
  std::string Reason;
  // The last answer's HTTP status (0: none came), once the work has ended: a 404 tells a
  // document that is gone from one that could not be fetched.
  int Status = 0;
  // The server said the copy the request named is still current.
  bool NotModified = false;
  // The response's validators, as the server wrote them; empty when absent or not usable.
  std::string ETag;
  std::string LastModifiedText;
  const platform::TEvent* const CancelEvent;
  const TWorkerProgressEvent OnProgress;
  const bool Revalidate = false;
  const std::int64_t MaxBody = kNoLimit;
  const std::vector<std::string> RequestHeaders;
  const TConditions Conditions;

  static constexpr const char* kPartSuffix = ".part";
  static constexpr std::int64_t kResumeMargin = 8192;
  // A stream-mode body is held in memory, and a patch list's is read into records besides: a
  // larger one fails the download (64 MiB, which a 32-bit process can spare; tests lower it).
  KOVA_TUNABLE std::int64_t MaxStreamBody = 64ll * 1024 * 1024;
  // Limit for each wait for data, in milliseconds (90 s; tests lower it).
  KOVA_TUNABLE int Timeout = 90000;
  // A pause holds a file's transfer this long (milliseconds) before it gives its connection up
  // (servers drop a silent one after a minute or so; tests lower it).
  KOVA_TUNABLE int PauseHold = 20000;
  // Less than this in a whole Timeout fails the download, however the bytes trickle in.
  static constexpr std::int64_t kStallBytes = 1024;
  // And less than kSlowFloor bytes a second on average over SlowWindow milliseconds (5 minutes;
  // tests lower it): a server that sends just enough not to stall would otherwise take hours.
  // Time spent held by the speed limit or a pause does not count.
  KOVA_TUNABLE int SlowWindow = 300000;
  static constexpr std::int64_t kSlowFloor = 512;
  // How long an address that has others after it may take to answer (connect, handshake, status
  // line) before the next is asked: a mirror that takes connections and never answers costs
  // this, not a whole Timeout (milliseconds; tests lower it).
  KOVA_TUNABLE int MirrorAnswerTimeout = 15000;

 private:
  void DoWork() override;
  // One request to Url (and its continuations after a long pause); sets Outcome.
  void Attempt();
  // Whether the last attempt's failure is the address's, so another copy may serve.
  bool AnotherAddressMayServe() const;
  // Makes ready to ask the next address: what came so far is kept when it can be continued.
  void PrepareForAnotherAddress(bool fromStart);
  // A client for the next request, asking from Written on.
  void NewClient();
  void Hook(THookSocketReason reason, const std::string& value);
  std::unique_ptr<TParallelSha256> hash_;
  void Store();
  // Ends the transfer as a failed download; `why` (English, shown translated) says what the
  // answer did wrong when the status and the socket do not.
  void Fail(const char* why = nullptr);
  // The failure's cause, from what the last attempt saw.
  std::string DescribeFailure() const;
  // Whether a 206's Content-Range starts at `position`.
  bool RangeStartsAt(std::int64_t position) const;
  // The whole object's size as the response gives it (a 200's length, a 206's range); 0 when
  // it does not.
  std::int64_t ObjectSize() const;
  void ReadServerDate();
  void Abort();
  void FinalPhase();
  bool CancelRequested() const { return stopRequested_ || IsCancelSignalled(CancelEvent); }
  void Report();

  TStream* target_;
  std::unique_ptr<TStream> ownedTarget_;
  std::unique_ptr<THTTPSend> http_;
  bool ownsTarget_;
  bool restartChecked_ = false;
  bool bodyComplete_ = false;
  std::int64_t begin_ = 0;  // where the object starts in the target
  // The object's whole size as an address has given it; 0 while unknown.
  std::int64_t knownTotal_ = 0;
  // The copy asked for the rest of the object is of another size: the kept start is not its own.
  bool otherSize_ = false;
  std::chrono::steady_clock::time_point windowStart_;
  std::int64_t windowBytes_ = 0;
  std::chrono::steady_clock::time_point slowStart_;
  std::int64_t slowBytes_ = 0;
  int answerTimeout_ = 0;  // for the address asked now; 0: Timeout
  std::unique_ptr<class TContentDecoder> decoder_;
  std::atomic<bool> stopRequested_{false};
  std::string cause_;         // what Fail was told
  bool heldOut_ = false;      // a pause made this transfer give its connection up
  bool conditional_ = false;  // the request in flight carries the conditions
  // When the request went out, until its answer's first byte is noted.
  std::chrono::steady_clock::time_point asked_{};
  bool answered_ = false;
};

}  // namespace kova
