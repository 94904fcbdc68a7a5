#pragma once
// A part of the agent that lives inside the hidden dialog's span and is started at a fixed step
// of its initialisation: the command listener (after the start-up scan) and idle detection
// (after the listener). The dialog owns neither; the program wires them with
// CNewOrmClientDlg::SetCommandListener / SetIdleDetection before the dialog runs. A dialog with
// nothing wired simply skips the step (and traces that it did).
//
// Thread affinity: every call is made on the dialog's thread.

#include <cstdint>

#include "platform/window/MessageWindow.h"

namespace uv::agent {

class CNewOrmClientDlg;

class IDialogExtension {
 public:
  virtual ~IDialogExtension() = default;

  // At its step of the dialog's initialisation (not at all when "ServerIP" did not resolve).
  virtual void Start(CNewOrmClientDlg& dialog) = 0;
  // When the dialog has ended, before its window goes; only after a Start. Must stop and join
  // every thread the extension started.
  virtual void Stop() = 0;
  // A message of the dialog's window that the dialog itself does not handle (WM_USER + 100 from
  // the idle callback, WM_TIMER 1000 of the Save-Energy timer). True when it was this
  // extension's; `result` is then the window procedure's answer.
  virtual bool OnMessage(const platform::WindowMessage& message, std::intptr_t& result) {
    (void)message;
    (void)result;
    return false;
  }
};

}  // namespace uv::agent
