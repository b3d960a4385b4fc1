#include "net/h2_session.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>

namespace kova {
namespace {

std::string CodeName(std::uint32_t code) {
  return nghttp2_http2_strerror(code);
}

bool AllDigits(const std::string& text) {
  return !text.empty() && text.size() <= 3 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

struct TH2Callbacks {
  static TH2Session& Of(void* user) { return *static_cast<TH2Session*>(user); }

  static int OnHeader(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                      std::size_t nameLength, const std::uint8_t* value, std::size_t valueLength,
                      std::uint8_t, void* user) {
    TH2Session& self = Of(user);
    TH2Stream* stream = self.Find(frame->hd.stream_id);
    if (!stream) return 0;
    // Counted as the HTTP/1.1 path counts a header line, interim answers and trailers included,
    // so neither a long block nor an endless run of them grows memory.
    stream->HeaderBytes += nameLength + valueLength + 4;
    if (stream->HeaderBytes > self.limits_.MaxHeaderBlock) {
      stream->Failure = "the server sent a header block larger than " +
                        std::to_string(self.limits_.MaxHeaderBlock / 1024) + " KiB";
      return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
    if (stream->HeadersDone) return 0;  // a trailer: of no use here
    const std::string key(reinterpret_cast<const char*>(name), nameLength);
    const std::string text(reinterpret_cast<const char*>(value), valueLength);
    if (key == ":status") {
      stream->Status = AllDigits(text) ? std::stoi(text) : 0;
    } else if (!key.empty() && key[0] != ':') {
      stream->HeaderLines.push_back(key + ": " + text);
    }
    return 0;
  }

  static int OnFrameReceived(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    TH2Session& self = Of(user);
    if (frame->hd.type == NGHTTP2_GOAWAY) {
      self.goingAway_ = true;
      if (frame->goaway.error_code != NGHTTP2_NO_ERROR)
        self.lastLibraryError_ =
            "the server ended the connection (" + CodeName(frame->goaway.error_code) + ")";
      return 0;
    }
    if (frame->hd.type != NGHTTP2_HEADERS) return 0;
    TH2Stream* stream = self.Find(frame->hd.stream_id);
    if (!stream || stream->HeadersDone || !(frame->hd.flags & NGHTTP2_FLAG_END_HEADERS)) return 0;
    if (stream->Status >= 200) {
      stream->HeadersDone = true;
    } else {
      // An interim answer (100, 103): its headers are passed over, the final one follows.
      stream->Status = 0;
      stream->HeaderLines.clear();
    }
    return 0;
  }

  static int OnData(nghttp2_session*, std::uint8_t, std::int32_t id, const std::uint8_t* data,
                    std::size_t length, void* user) {
    TH2Session& self = Of(user);
    TH2Stream* stream = self.Find(id);
    if (!stream) {
      nghttp2_session_consume_connection(self.session_, length);
      return 0;
    }
    stream->Body.append(reinterpret_cast<const char*>(data), length);
    stream->Received += static_cast<std::int64_t>(length);
    return 0;
  }

  static int OnStreamClose(nghttp2_session*, std::int32_t id, std::uint32_t code, void* user) {
    TH2Session& self = Of(user);
    TH2Stream* stream = self.Find(id);
    if (!stream || stream->Ended) return 0;
    stream->Ended = true;
    stream->ErrorCode = code;
    if (code == NGHTTP2_REFUSED_STREAM && !stream->HeadersDone && stream->Received == 0) {
      stream->Refused = true;
    } else if (code != NGHTTP2_NO_ERROR && stream->Failure.empty()) {
      stream->Failure = "the server reset the HTTP/2 stream (" + CodeName(code) + ")";
    } else if (code == NGHTTP2_NO_ERROR && !stream->HeadersDone && stream->Failure.empty()) {
      stream->Failure = "the HTTP/2 stream ended without a response";
    }
    return 0;
  }

  static int OnError(nghttp2_session*, int, const char* message, std::size_t length, void* user) {
    Of(user).lastLibraryError_.assign(message, length);
    return 0;
  }

  static int OnFrameSent(nghttp2_session*, const nghttp2_frame* frame, void* user) {
    TH2Session& self = Of(user);
    // The library ends the connection with an error of its own when the server broke the
    // protocol (a window past its limit, a malformed frame): every stream fails with it.
    if (frame->hd.type == NGHTTP2_GOAWAY && frame->goaway.error_code != NGHTTP2_NO_ERROR) {
      self.broken_ = true;
      self.FailAll("the server broke HTTP/2 (" + CodeName(frame->goaway.error_code) +
                   (self.lastLibraryError_.empty() ? "" : ": " + self.lastLibraryError_) + ")");
    }
    return 0;
  }
};

TH2Session::TH2Session(TLimits limits) : limits_(limits) {
  nghttp2_session_callbacks* callbacks = nullptr;
  nghttp2_option* option = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0 || nghttp2_option_new(&option) != 0) {
    if (callbacks) nghttp2_session_callbacks_del(callbacks);
    failure_ = "HTTP/2 is not available";
    return;
  }
  nghttp2_session_callbacks_set_on_header_callback(callbacks, &TH2Callbacks::OnHeader);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &TH2Callbacks::OnFrameReceived);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &TH2Callbacks::OnData);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &TH2Callbacks::OnStreamClose);
  nghttp2_session_callbacks_set_error_callback2(callbacks, &TH2Callbacks::OnError);
  nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, &TH2Callbacks::OnFrameSent);
  // The window grows back only as the caller takes the bytes, which bounds what is held.
  nghttp2_option_set_no_auto_window_update(option, 1);
  // Until the server's settings arrive, as many streams as servers commonly allow.
  nghttp2_option_set_peer_max_concurrent_streams(option, 100);
  const int rc = nghttp2_session_client_new2(&session_, callbacks, this, option);
  nghttp2_session_callbacks_del(callbacks);
  nghttp2_option_del(option);
  if (rc != 0) {
    session_ = nullptr;
    failure_ = "HTTP/2 is not available";
    return;
  }
  const nghttp2_settings_entry settings[] = {
      {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, static_cast<std::uint32_t>(limits_.StreamWindow)},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, static_cast<std::uint32_t>(limits_.MaxHeaderBlock)},
  };
  nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings,
                          sizeof settings / sizeof settings[0]);
  nghttp2_session_set_local_window_size(session_, NGHTTP2_FLAG_NONE, 0, limits_.ConnectionWindow);
}

TH2Session::~TH2Session() {
  if (session_) nghttp2_session_del(session_);
}

std::int32_t TH2Session::Submit(const std::vector<std::pair<std::string, std::string>>& headers) {
  if (!session_ || GoingAway()) return 0;
  std::vector<nghttp2_nv> list;
  list.reserve(headers.size());
  for (const auto& [name, value] : headers) {
    list.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                    reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
                    value.size(), NGHTTP2_NV_FLAG_NONE});
  }
  const std::int32_t id =
      nghttp2_submit_request(session_, nullptr, list.data(), list.size(), nullptr, nullptr);
  if (id <= 0) return 0;
  streams_[id];
  return id;
}

bool TH2Session::Received(const char* data, std::size_t size) {
  if (!session_ || Failed()) return false;
  const auto rc =
      nghttp2_session_mem_recv(session_, reinterpret_cast<const std::uint8_t*>(data), size);
  if (rc < 0) {
    broken_ = true;
    FailAll("the server broke HTTP/2 (" +
            (lastLibraryError_.empty() ? std::string(nghttp2_strerror(static_cast<int>(rc)))
                                       : lastLibraryError_) +
            ")");
  }
  return !Failed();
}

std::string TH2Session::TakeOutgoing() {
  std::string out;
  if (!session_) return out;
  for (;;) {
    const std::uint8_t* data = nullptr;
    const auto n = nghttp2_session_mem_send(session_, &data);
    if (n < 0) {
      FailAll(std::string("HTTP/2 failed (") + nghttp2_strerror(static_cast<int>(n)) + ")");
      break;
    }
    if (n == 0) break;
    out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
  }
  return out;
}

TH2Stream* TH2Session::Find(std::int32_t id) {
  const auto it = streams_.find(id);
  return it == streams_.end() ? nullptr : &it->second;
}

std::string TH2Session::TakeBody(std::int32_t id, std::size_t most) {
  TH2Stream* stream = Find(id);
  if (!stream || stream->Body.empty()) return {};
  std::string out;
  if (stream->Body.size() <= most) {
    out.swap(stream->Body);
  } else {
    out = stream->Body.substr(0, most);
    stream->Body.erase(0, most);
  }
  if (session_) {
    nghttp2_session_consume_connection(session_, out.size());
    if (!stream->Ended) nghttp2_session_consume_stream(session_, id, out.size());
  }
  return out;
}

void TH2Session::Release(std::int32_t id) {
  const auto it = streams_.find(id);
  if (it == streams_.end()) return;
  if (session_) {
    if (!it->second.Body.empty())
      nghttp2_session_consume_connection(session_, it->second.Body.size());
    if (!it->second.Ended)
      nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, id, NGHTTP2_CANCEL);
  }
  streams_.erase(it);
}

void TH2Session::Terminate() {
  if (session_ && !Failed()) nghttp2_session_terminate_session(session_, NGHTTP2_NO_ERROR);
}

void TH2Session::Lose(const std::string& why) {
  FailAll(why);
}

void TH2Session::FailAll(const std::string& why) {
  if (failure_.empty()) failure_ = why;
  for (auto& [id, stream] : streams_) {
    if (stream.Ended) continue;
    stream.Ended = true;
    stream.Lost = true;
    if (stream.Failure.empty()) stream.Failure = failure_;
  }
}

std::size_t TH2Session::StreamRoom(std::size_t cap) const {
  if (!session_ || GoingAway()) return 0;
  const std::uint32_t allowed =
      nghttp2_session_get_remote_settings(session_, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS);
  return std::min<std::size_t>(allowed, cap);
}

bool TH2Session::Alive() const {
  return session_ && !Failed() &&
         (nghttp2_session_want_read(session_) || nghttp2_session_want_write(session_));
}

}  // namespace kova
