// Server frames through the client's HTTP/2 session, from arbitrary bytes after a valid start
// (the server's settings): the first byte picks the piece sizes and when the caller takes
// bodies and lets a stream go. The library parses; what must hold is the glue around it: no
// crash, a stream's held body never beyond its window, its headers never beyond the cap, and
// nothing on a stream after its end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/h2_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  kova::TH2Session::TLimits limits{4096, 65535, 1 << 20};
  kova::TH2Session session(limits);
  const std::vector<std::pair<std::string, std::string>> request{
      {":method", "GET"}, {":scheme", "https"}, {":authority", "a"}, {":path", "/"}};
  const std::int32_t ids[] = {session.Submit(request), session.Submit(request),
                              session.Submit(request)};
  session.TakeOutgoing();
  const char settings[] = {0, 0, 0, 4, 0, 0, 0, 0, 0};
  session.Received(settings, sizeof settings);
  const std::size_t piece = 1 + (data[0] & 63);
  const bool releaseOne = data[0] & 64;
  const bool takeBodies = data[0] & 128;
  std::int64_t receivedAtEnd[3] = {-1, -1, -1};
  for (std::size_t at = 1; at < size; at += piece) {
    session.Received(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at));
    session.TakeOutgoing();
    for (int i = 0; i < 3; ++i) {
      kova::TH2Stream* stream = session.Find(ids[i]);
      if (!stream) continue;
      if (stream->Body.size() > static_cast<std::size_t>(limits.StreamWindow)) std::abort();
      std::size_t lines = 0;
      for (const std::string& line : stream->HeaderLines) lines += line.size();
      if (lines > limits.MaxHeaderBlock) std::abort();
      if (stream->Ended && receivedAtEnd[i] < 0) receivedAtEnd[i] = stream->Received;
      if (receivedAtEnd[i] >= 0 && stream->Received != receivedAtEnd[i]) std::abort();
      if (takeBodies) session.TakeBody(ids[i], 1000);
    }
    if (releaseOne && at > size / 2) session.Release(ids[0]);
  }
  return 0;
}
