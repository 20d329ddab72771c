#pragma once

#include <windows.h>

#include <initializer_list>

namespace drv::win32 {

// The look shared by every window of the driver, as the Qt front end draws it, so that both read
// as one product.
inline constexpr COLORREF kWindowBackground = RGB(233, 241, 250);
inline constexpr COLORREF kPageText = RGB(8, 55, 114);
inline constexpr COLORREF kStartStopText = RGB(0, 128, 0);
inline constexpr COLORREF kCaptionText = RGB(21, 66, 139);
inline constexpr COLORREF kFieldBorder = RGB(141, 178, 227);
inline constexpr COLORREF kFocusBorder = RGB(61, 123, 203);
inline constexpr COLORREF kDisabledText = RGB(141, 141, 141);
inline constexpr COLORREF kDisabledBackground = RGB(235, 240, 247);
inline constexpr COLORREF kWhite = RGB(255, 255, 255);
inline constexpr COLORREF kBlack = RGB(0, 0, 0);

// The fonts and brushes, made once on the main thread and kept until the program ends.
struct Style {
  HFONT pageFont;       // Tahoma 8 pt at 96 dpi: 11 pixels
  HFONT pageBoldFont;   // the same, bold: the port controls' buttons
  HFONT bannerFont;     // the banner caption, 13 pixels bold
  HFONT serifBoldFont;  // Times New Roman bold 12 pt: 16 pixels; message text, close-code prompt
  HBRUSH windowBrush;   // kWindowBackground
  HBRUSH whiteBrush;
  HBRUSH disabledBrush;  // kDisabledBackground
};
const Style& DriverStyle();

// A colour stop of a vertical gradient: `at` from 0 (top) to 1 (bottom).
struct GradientStop {
  double at;
  COLORREF colour;
};
// Fills `area` with a vertical gradient through `stops`, given from the top down.
void FillVerticalGradient(HDC dc, const RECT& area, std::initializer_list<GradientStop> stops);

void FillSolid(HDC dc, const RECT& area, COLORREF colour);
// A one-pixel outline just inside `area`.
void FrameSolid(HDC dc, const RECT& area, COLORREF colour);

// How an owner-drawn push button shows its caption.
struct ButtonLook {
  COLORREF text = kPageText;
  bool bold = false;
  // What shows outside the rounded corners: the parent's colour there.
  COLORREF background = kWindowBackground;
};
// Draws a push button of the driver (gradient, rounded border, pressed, focused and disabled
// states) for WM_DRAWITEM.
void DrawPushButton(const DRAWITEMSTRUCT& item, const ButtonLook& look);

// The window rectangle whose client area is `width` x `height`, centred on the work area of the
// primary screen.
RECT CentredWindowRect(DWORD style, DWORD exStyle, int width, int height);
void CentreOnScreen(HWND window, int clientWidth, int clientHeight);

// The width in pixels of `text` in `font`.
int TextWidth(HFONT font, const wchar_t* text, int length);

}  // namespace drv::win32
