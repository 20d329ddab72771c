#pragma once

#include <windows.h>

namespace drv::win32 {

// A picture of the program's resources (a PNG, the same files as the Qt front end's), decoded
// into an icon with its alpha channel, which the window functions draw blended.
struct Picture {
  HICON icon = nullptr;
  int width = 0;
  int height = 0;
};

// Decodes the PNG of resource `id` once; later calls give the same picture. An empty picture
// (no icon) when it cannot be decoded: the window then shows no picture there.
const Picture& ProgramPicture(int id);

// Draws `picture` with its top left corner at (x, y), blended over what is there.
void DrawPicture(HDC dc, const Picture& picture, int x, int y);

// An icon from the PNG of resource `id`, for the window and the notification area; the system's
// application icon when it cannot be decoded. Owned by the caller (DestroyIcon).
HICON IconFromPicture(int id);

}  // namespace drv::win32
