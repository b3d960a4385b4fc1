// An internet-like link on 127.0.0.1 that keeps up with a fast line, for benchmarks: the same
// link as link_forwarder.py, on threads, so that 1 Gbit/s is the link's limit and not the
// forwarder's.
//
//   kova_bench_link UPSTREAM_PORT RTT_MS DOWN_MBIT
//
// Listens on a free port of 127.0.0.1 and prints it on its first line. Each connection is passed
// to the upstream port with every byte delayed by half the round trip in each direction, and a
// new connection's first bytes wait one more round trip, as a handshake costs. Everything the
// server sends shares one downlink of DOWN_MBIT megabits a second (0: no limit). It ends when its
// standard input closes, and then prints "bytes DOWN UP": what it carried each way.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double half = 0;  // seconds each way
double rate = 0;  // bytes a second down; 0: no limit
std::mutex downlinkMutex;
TClock::time_point downlinkFreeAt{};
std::atomic<long long> carriedDown{0}, carriedUp{0};

// The time at which `size` bytes have passed the shared downlink.
TClock::time_point DownlinkSlot(std::size_t size) {
  const TClock::time_point now = TClock::now();
  if (rate <= 0) return now;
  std::lock_guard<std::mutex> lock(downlinkMutex);
  const TClock::time_point start = std::max(now, downlinkFreeAt);
  downlinkFreeAt = start + std::chrono::duration_cast<TClock::duration>(
                               std::chrono::duration<double>(static_cast<double>(size) / rate));
  return downlinkFreeAt;
}

struct TPiece {
  TClock::time_point Due;
  std::string Data;  // empty: the end of the stream
};

// One direction of a connection: a reader that stamps each burst with its arrival time, and a
// writer that delivers it then.
class TPipe {
 public:
  TPipe(int from, int to, bool shaped) : from_(from), to_(to), shaped_(shaped) {}
  void Run() {
    std::thread writer([this] { Deliver(); });
    std::string buffer(65536, '\0');
    for (;;) {
      const ssize_t n = ::read(from_, buffer.data(), buffer.size());
      if (n <= 0) break;
      (shaped_ ? carriedDown : carriedUp) += n;
      const auto size = static_cast<std::size_t>(n);
      const TClock::time_point sent = shaped_ ? DownlinkSlot(size) : TClock::now();
      Push({sent + Delay(), buffer.substr(0, size)});
    }
    Push({TClock::now() + Delay(), std::string()});
    writer.join();
  }

 private:
  static TClock::duration Delay() {
    return std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(half));
  }
  void Push(TPiece piece) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Back-pressure: the reader stays no more than a few megabytes ahead of the link.
    space_.wait(lock, [this] { return queued_ < kMaxQueued || failed_; });
    queued_ += piece.Data.size();
    queue_.push_back(std::move(piece));
    ready_.notify_one();
  }
  void Deliver() {
    for (;;) {
      TPiece piece;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !queue_.empty(); });
        piece = std::move(queue_.front());
        queue_.pop_front();
        queued_ -= piece.Data.size();
        space_.notify_one();
      }
      std::this_thread::sleep_until(piece.Due);
      if (piece.Data.empty()) break;
      std::size_t at = 0;
      while (at < piece.Data.size() && !failed_) {
        const ssize_t n = ::write(to_, piece.Data.data() + at, piece.Data.size() - at);
        if (n <= 0) {
          std::lock_guard<std::mutex> lock(mutex_);
          failed_ = true;
          space_.notify_all();
          break;
        }
        at += static_cast<std::size_t>(n);
      }
    }
    ::shutdown(to_, SHUT_WR);
  }

  static constexpr std::size_t kMaxQueued = 8 << 20;
  const int from_, to_;
  const bool shaped_;
  std::mutex mutex_;
  std::condition_variable ready_, space_;
  std::deque<TPiece> queue_;
  std::size_t queued_ = 0;
  bool failed_ = false;
};

void Handle(int client, int upstreamPort) {
  std::this_thread::sleep_for(std::chrono::duration<double>(2 * half));
  const int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(upstreamPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    TPipe up(client, upstream, false), down(upstream, client, true);
    std::thread upThread([&] { up.Run(); });
    down.Run();
    upThread.join();
  }
  ::close(upstream);
  ::close(client);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kova_bench_link UPSTREAM_PORT RTT_MS DOWN_MBIT\n");
    return 2;
  }
  const int upstreamPort = std::atoi(argv[1]);
  half = std::atof(argv[2]) / 2000.0;
  rate = std::atof(argv[3]) * 1e6 / 8;
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 256) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("kova_bench_link");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  std::thread([listener, upstreamPort] {
    for (;;) {
      const int client = ::accept(listener, nullptr, nullptr);
      if (client < 0) continue;
      std::thread(Handle, client, upstreamPort).detach();
    }
  }).detach();
  char sink[256];
  while (::read(STDIN_FILENO, sink, sizeof sink) > 0) {
  }
  std::printf("bytes %lld %lld\n", carriedDown.load(), carriedUp.load());
  std::fflush(stdout);
  std::_Exit(0);
}
