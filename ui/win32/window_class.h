#pragma once

#include <windows.h>

namespace drv::win32 {

// The program's module, for window classes and resources.
HINSTANCE ProgramInstance();

// Registers a window class of this program once; later calls with the same name do nothing.
void RegisterWindowClass(const wchar_t* name, WNDPROC procedure, HICON icon = nullptr,
                         HICON smallIcon = nullptr);

// The window procedure of a class whose windows each belong to a `T` object: the object is
// passed as the creation parameter, kept in the window, and its HandleMessage answers every
// message from WM_NCCREATE on.
template <typename T>
LRESULT CALLBACK MemberWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  return self->HandleMessage(window, message, wParam, lParam);
}

// A window of this program's messages only, never shown.
HWND CreateMessageWindow(const wchar_t* className, void* owner);

}  // namespace drv::win32
