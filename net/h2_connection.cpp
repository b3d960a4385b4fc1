#include "net/h2_connection.h"

namespace kova {
namespace {

// The reader looks at the closing flag this often while the server is silent.
constexpr int kReadSliceMs = 200;

}  // namespace

TH2Connection::TH2Connection(TTCPBlockSocket& socket, TH2Session::TLimits limits)
    : session_(limits), idleSince_(std::chrono::steady_clock::now()) {
  socket_.SwapConnection(socket);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Flush();
  }
  reader_ = std::thread([this] { Read(); });
}

TH2Connection::~TH2Connection() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    session_.Terminate();
    Flush();
  }
  socket_.StopFlag = true;
  if (reader_.joinable()) reader_.join();
  socket_.CloseSocket();
}

void TH2Connection::Flush() {
  const std::string out = session_.TakeOutgoing();
  if (out.empty() || !socket_.IsOpen()) return;
  socket_.SendString(out);
  if (socket_.LastError() != 0) {
    session_.Lose("the connection was lost (" + socket_.LastErrorDesc() + ")");
    changed_.notify_all();
  }
}

void TH2Connection::Read() {
  while (!closing_) {
    if (!socket_.WaitForData(kReadSliceMs)) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) break;
    const std::string data = socket_.RecvNow();
    if (socket_.LastError() != 0) {
      session_.Lose("the connection was lost (" + socket_.LastErrorDesc() + ")");
      changed_.notify_all();
      break;
    }
    if (data.empty()) {
      // Part of a secure record, or one that carries no data (a session ticket).
      Flush();
      continue;
    }
    session_.Received(data.data(), data.size());
    Flush();
    changed_.notify_all();
    if (!session_.Alive()) break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!session_.Failed() && !closing_) session_.Lose("the server closed the connection");
  changed_.notify_all();
}

std::int32_t TH2Connection::Start(const std::vector<std::pair<std::string, std::string>>& headers,
                                  std::size_t cap, const std::atomic<bool>& stop, int waitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (session_.GoingAway() || stop) return 0;
    if (session_.OpenStreams() < session_.StreamRoom(cap)) break;
    if (changed_.wait_until(lock,
                            std::min(deadline, std::chrono::steady_clock::now() +
                                                   std::chrono::milliseconds(kReadSliceMs))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline)
      return 0;
  }
  const std::int32_t id = session_.Submit(headers);
  if (id) Flush();
  return id;
}

bool TH2Connection::Await(std::int32_t id, int ms,
                          const std::function<bool(const TH2Stream&)>& ready,
                          const std::function<void(const TH2Stream&)>& use) {
  std::unique_lock<std::mutex> lock(mutex_);
  TH2Stream gone;
  gone.Ended = gone.Lost = true;
  const auto holds = [&] {
    const TH2Stream* stream = session_.Find(id);
    return !stream || stream->Ended || ready(*stream);
  };
  if (!changed_.wait_for(lock, std::chrono::milliseconds(ms), holds)) return false;
  const TH2Stream* stream = session_.Find(id);
  use(stream ? *stream : gone);
  return true;
}

std::string TH2Connection::Take(std::int32_t id, std::size_t most) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out = session_.TakeBody(id, most);
  if (!out.empty()) Flush();
  return out;
}

void TH2Connection::Release(std::int32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  session_.Release(id);
  Flush();
  if (session_.OpenStreams() == 0) idleSince_ = std::chrono::steady_clock::now();
  // A stream's end may make room for a request waiting to start.
  changed_.notify_all();
}

void TH2Connection::Abandon(const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  session_.Lose(why);
  changed_.notify_all();
}

bool TH2Connection::Usable() {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_.Alive() && !session_.GoingAway();
}

bool TH2Connection::Broken() {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_.Broken();
}

bool TH2Connection::Alive() {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_.Alive();
}

std::size_t TH2Connection::Room(std::size_t cap) {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_.StreamRoom(cap);
}

std::size_t TH2Connection::OpenStreams() {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_.OpenStreams();
}

std::chrono::steady_clock::time_point TH2Connection::IdleSince() {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_.OpenStreams() == 0 ? idleSince_ : std::chrono::steady_clock::now();
}

std::string TH2Connection::Failure() {
  std::lock_guard<std::mutex> lock(mutex_);
  return session_.Failure();
}

}  // namespace kova
