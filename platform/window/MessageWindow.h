#pragma once
// A message window bound to one thread, with the behaviour the client's hidden dialog relies on:
//
// - Send: from the owner thread the handler is called directly; from any other thread the
//   message is queued for the owner's loop and the caller waits for the handler's result (as
//   SendMessage). Sent messages are handled before posted ones. A Send to a window whose loop
//   has ended, or that is being destroyed, fails promptly with kErrorInvalidHandle instead of
//   waiting for ever; a Send made before the loop starts waits until it runs.
// - Post: queued, handled in order by the loop; the caller does not wait.
// - Timers: SetTimer(id, period) makes the loop deliver kWmTimer with wParam = id every period
//   (at most one pending per timer, like WM_TIMER); KillTimer stops it.
// - Run: the message loop on the owner thread, until Quit(code); returns code. No polling: it
//   sleeps on a condition variable until a message, a timer or Quit is due.
//
// Handle is a small copyable reference that other threads and modules keep to reach the window
// (device notifications deliver kWmDeviceChange with a payload record through it). It stays
// safe to use after the window is destroyed: its calls then fail with kErrorInvalidHandle.
//
// Thread affinity: the window is owned by the thread that constructed it; Run and destruction
// happen there. Send, Post, SetTimer, KillTimer and Quit may be called from any thread.
// The handler must not throw; an exception that escapes it is traced and counts as result 0.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "platform/common/Result.h"

namespace uv::platform {

inline constexpr std::uint32_t kWmClose = 0x0010;
inline constexpr std::uint32_t kWmTimer = 0x0113;
inline constexpr std::uint32_t kWmDeviceChange = 0x0219;
inline constexpr std::uint32_t kWmUser = 0x0400;

// Unique within the process for its lifetime (never reused), never 0.
using WindowId = std::uint64_t;

struct WindowMessage {
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
  // A record that travels with the message (a broadcast record for kWmDeviceChange); empty for
  // ordinary messages. Owned by the message: the handler may keep a copy, not a reference.
  std::vector<std::uint8_t> payload;
};

using MessageHandler = std::function<std::intptr_t(const WindowMessage&)>;

class MessageWindow {
 public:
  class State;  // shared by the window and its Handles

  class Handle {
   public:
    Handle() = default;
    WindowId Id() const;
    // False once the window has been destroyed (or for a default-constructed Handle).
    bool IsValid() const;
    Result<std::intptr_t> Send(std::uint32_t message, std::uintptr_t wParam = 0,
                               std::intptr_t lParam = 0,
                               std::vector<std::uint8_t> payload = {}) const;
    // SendMessageTimeout: as Send, but gives up with kErrorTimeout when the handler has not run
    // within timeout. A message that times out is withdrawn if it has not started yet.
    Result<std::intptr_t> SendTimeout(std::chrono::milliseconds timeout, std::uint32_t message,
                                      std::uintptr_t wParam = 0, std::intptr_t lParam = 0,
                                      std::vector<std::uint8_t> payload = {}) const;
    [[nodiscard]] WinError Post(std::uint32_t message, std::uintptr_t wParam = 0,
                                std::intptr_t lParam = 0,
                                std::vector<std::uint8_t> payload = {}) const;

   private:
    friend class MessageWindow;
    explicit Handle(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
  };

  explicit MessageWindow(MessageHandler handler);
  // DestroyWindow: fails every Send still waiting, drops posted messages and timers.
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  WindowId Id() const;
  Handle GetHandle() const;
  bool IsOwnerThread() const;

  Result<std::intptr_t> Send(std::uint32_t message, std::uintptr_t wParam = 0,
                             std::intptr_t lParam = 0,
                             std::vector<std::uint8_t> payload = {}) const;
  [[nodiscard]] WinError Post(std::uint32_t message, std::uintptr_t wParam = 0,
                              std::intptr_t lParam = 0,
                              std::vector<std::uint8_t> payload = {}) const;

  // Starts or restarts timer id; periods are kept within 1 ms and 0x7FFFFFFF ms (as Windows
  // does). Thread-safe.
  [[nodiscard]] WinError SetTimer(std::uintptr_t id, std::chrono::milliseconds period);
  // kErrorInvalidParameter when no such timer runs.
  [[nodiscard]] WinError KillTimer(std::uintptr_t id);

  // The message loop. Must run on the owner thread (kErrorInvalidParameter otherwise; a nested
  // Run from inside a handler is refused the same way). Returns the code given to Quit. A Quit
  // that came before Run makes Run return at once. After Run returns the loop has ended:
  // Sends from other threads fail until Run is called again.
  Result<int> Run();
  // PostQuitMessage: Run returns once the messages queued by then, and any sent or posted
  // while it drains them, are handled (WM_QUIT comes after posted messages); no timer fires
  // after the queue is empty. Thread-safe.
  void Quit(int code);

 private:
  std::shared_ptr<State> state_;
};

}  // namespace uv::platform
