// The lock is a named mutex; the messages are registered window messages broadcast to every
// top-level window, which a hidden top-level window of the holder receives. Both belong to the
// session of the user who is logged on: another user's processes meet neither.

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "platform/instance.h"
#include "platform/win32/wide_path.h"

namespace kova::platform {

struct TInstanceLock::TState {
  HANDLE Mutex = nullptr;
  HWND Window = nullptr;
  std::vector<std::pair<UINT, std::string>> Accepted;
  std::function<void(const std::string&)> Handler;

  ~TState() {
    if (Window) DestroyWindow(Window);
    if (Mutex) {
      ReleaseMutex(Mutex);
      CloseHandle(Mutex);
    }
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<TState*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (state && message >= 0xC000 && state->Handler) {
      const auto found = std::find_if(state->Accepted.begin(), state->Accepted.end(),
                                      [message](const auto& a) { return a.first == message; });
      if (found != state->Accepted.end()) {
        const std::string name = found->second;
        // The handler comes last: it may release the lock and with it this state. An exception
        // from it must not cross user32, which would end the process.
        try {
          state->Handler(name);
        } catch (const std::exception& e) {
          OutputDebugStringA(
              (std::string("kova: an instance message failed: ") + e.what() + "\n").c_str());
        } catch (...) {
          OutputDebugStringA("kova: an instance message failed\n");
        }
        return 0;
      }
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }
};

TInstanceLock::TInstanceLock(std::unique_ptr<TState> state) : state_(std::move(state)) {}

TInstanceLock::~TInstanceLock() = default;

std::unique_ptr<TInstanceLock> TInstanceLock::TryAcquire(const std::string& name, TResult& result) {
  result = TResult::Failed;
  // Without a lock (no name, or no mutex to be had) the messages still arrive: they are
  // broadcast to every top-level window, and the program answers them as it always does.
  HANDLE mutex = name.empty() ? nullptr : CreateMutexW(nullptr, TRUE, Wide(name).c_str());
  if (!mutex) return std::unique_ptr<TInstanceLock>(new TInstanceLock(std::make_unique<TState>()));
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    result = TResult::HeldElsewhere;
    return nullptr;
  }
  auto state = std::make_unique<TState>();
  state->Mutex = mutex;
  result = TResult::Acquired;
  return std::unique_ptr<TInstanceLock>(new TInstanceLock(std::move(state)));
}

void TInstanceLock::ServeMessages(std::vector<std::string> accepted,
                                  std::function<void(const std::string&)> handler) {
  state_->Accepted.clear();
  for (std::string& name : accepted)
    state_->Accepted.emplace_back(RegisterMessage(name), std::move(name));
  state_->Handler = std::move(handler);
  if (state_->Handler && !state_->Window) {
    // A broadcast reaches top-level windows only: this one is never shown.
    WNDCLASSA cls{};
    cls.lpfnWndProc = TState::WindowProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.lpszClassName = "KovaUpdaterInstance";
    RegisterClassA(&cls);
    state_->Window = CreateWindowExA(WS_EX_TOOLWINDOW, cls.lpszClassName, "", WS_POPUP, 0, 0, 0, 0,
                                     nullptr, nullptr, cls.hInstance, nullptr);
    if (state_->Window)
      SetWindowLongPtrA(state_->Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state_.get()));
  } else if (!state_->Handler && state_->Window) {
    DestroyWindow(state_->Window);
    state_->Window = nullptr;
  }
}

bool SendInstanceMessage(const std::string& name, const std::string& message) {
  if (name.empty()) return false;
  HANDLE held = OpenMutexW(SYNCHRONIZE, FALSE, Wide(name).c_str());
  if (!held) return false;  // nobody holds the lock
  CloseHandle(held);
  // Windows lets only the process the player last used bring a window to the front: this one
  // (just started by the player) hands that right on to the instance that receives the focus
  // message, or it could only flash in the taskbar.
  AllowSetForegroundWindow(ASFW_ANY);
  return PostMessageA(HWND_BROADCAST, RegisterMessage(message), 0, 0) != 0;
}

unsigned RegisterMessage(const std::string& name) {
  return RegisterWindowMessageW(Wide(name).c_str());
}

}  // namespace kova::platform
