#include "ui/win32/window_class.h"

namespace drv::win32 {

HINSTANCE ProgramInstance() {
  return GetModuleHandleW(nullptr);
}

void RegisterWindowClass(const wchar_t* name, WNDPROC procedure, HICON icon, HICON smallIcon) {
  WNDCLASSEXW existing{};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExW(ProgramInstance(), name, &existing)) return;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = ProgramInstance();
  windowClass.hIcon = icon;
  windowClass.hIconSm = smallIcon;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = name;
  RegisterClassExW(&windowClass);
}

HWND CreateMessageWindow(const wchar_t* className, void* owner) {
  return CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ProgramInstance(),
                         owner);
}

}  // namespace drv::win32
