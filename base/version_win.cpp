#include "base/version.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <vector>

#include "base/win_text.h"

namespace drv {

std::string ExecutableVersionText() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<unsigned char> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return {};

  struct Translation {
    WORD language;
    WORD codePage;
  };
  Translation* translations = nullptr;
  UINT translationBytes = 0;
  if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                     reinterpret_cast<void**>(&translations), &translationBytes) &&
      translationBytes >= sizeof(Translation)) {
    wchar_t key[64];
    std::swprintf(key, std::size(key), L"\\StringFileInfo\\%04x%04x\\FileVersion",
                  translations[0].language, translations[0].codePage);
    wchar_t* text = nullptr;
    UINT characters = 0;
    if (VerQueryValueW(info.data(), key, reinterpret_cast<void**>(&text), &characters) &&
        text != nullptr && characters > 0) {
      // The count may include the terminating zero.
      std::wstring_view value(text, characters);
      while (!value.empty() && value.back() == L'\0') value.remove_suffix(1);
      if (!value.empty()) return WideToUtf8(value);
    }
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedBytes = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedBytes) ||
      fixedBytes < sizeof(VS_FIXEDFILEINFO)) {
    return {};
  }
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                LOWORD(fixed->dwFileVersionLS));
  return text;
}

}  // namespace drv
