#pragma once

#include <windows.h>

#include <functional>

namespace drv::win32 {

// Shows `dialog` modally, as the toolkit's modal dialogs are shown: the thread's other windows
// are disabled, and a message loop of its own dispatches every message of the thread (the tick,
// the main thread's tasks, the serial port's events go on) until `done()` holds after a message.
// Keys go through IsDialogMessage (Tab moves between the controls) unless `swallowKey` takes
// them first. A WM_QUIT ends the loop and is posted again for the loop outside. The dialog is
// hidden again before this returns.
void RunModal(HWND dialog, const std::function<bool()>& done,
              const std::function<bool(const MSG&)>& swallowKey = nullptr);

}  // namespace drv::win32
