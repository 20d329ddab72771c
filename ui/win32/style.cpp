#include "ui/win32/style.h"

#include <algorithm>
#include <iterator>

namespace drv::win32 {
namespace {

int CALLBACK NoteFamily(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

// The first of `faces` that the system has: Tahoma and Times New Roman on Windows, and where they
// are missing (Wine without them) metric-compatible or narrow faces, so that the fixed layout
// keeps its proportions. The same choice as the Qt front end's.
const wchar_t* InstalledFace(std::initializer_list<const wchar_t*> faces) {
  HDC dc = GetDC(nullptr);
  const wchar_t* chosen = nullptr;
  for (const wchar_t* face : faces) {
    LOGFONTW query{};
    query.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(query.lfFaceName, face, LF_FACESIZE);
    bool found = false;
    EnumFontFamiliesExW(dc, &query, NoteFamily, reinterpret_cast<LPARAM>(&found), 0);
    if (found) {
      chosen = face;
      break;
    }
  }
  ReleaseDC(nullptr, dc);
  // None of them: the font mapper's nearest to the first.
  return chosen != nullptr ? chosen : *faces.begin();
}

HFONT MakeFont(const wchar_t* face, int pixelHeight, int weight) {
  LOGFONTW font{};
  font.lfHeight = -pixelHeight;
  font.lfWeight = weight;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfOutPrecision = OUT_TT_PRECIS;
  font.lfQuality = CLEARTYPE_QUALITY;
  font.lfPitchAndFamily = VARIABLE_PITCH;
  lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
  return CreateFontIndirectW(&font);
}

}  // namespace

const Style& DriverStyle() {
  static const wchar_t* const sans =
      InstalledFace({L"Tahoma", L"Liberation Sans", L"Arimo", L"Arial", L"Nimbus Sans",
                     L"DejaVu Sans Condensed", L"DejaVu Sans"});
  static const wchar_t* const serif = InstalledFace(
      {L"Times New Roman", L"Liberation Serif", L"Tinos", L"Nimbus Roman", L"DejaVu Serif"});
  static const Style style{
      MakeFont(sans, 11, FW_NORMAL),         MakeFont(sans, 11, FW_BOLD),
      MakeFont(sans, 13, FW_BOLD),           MakeFont(serif, 16, FW_BOLD),
      CreateSolidBrush(kWindowBackground),   CreateSolidBrush(kWhite),
      CreateSolidBrush(kDisabledBackground),
  };
  return style;
}

void FillVerticalGradient(HDC dc, const RECT& area, std::initializer_list<GradientStop> stops) {
  const LONG height = area.bottom - area.top;
  if (height <= 0 || stops.size() == 0) return;
  // Row by row: a band of one colour per row, each row's colour between the stops around it.
  const GradientStop* lower = stops.begin();
  for (LONG row = 0; row < height; ++row) {
    const double at = (row + 0.5) / height;
    while (lower + 1 != stops.end() && (lower + 1)->at < at) ++lower;
    const GradientStop* upper = lower + 1 != stops.end() ? lower + 1 : lower;
    const double span = upper->at - lower->at;
    const double share = span > 0 ? std::clamp((at - lower->at) / span, 0.0, 1.0) : 0.0;
    const auto mix = [share](BYTE from, BYTE to) {
      return static_cast<BYTE>(from + (to - from) * share + 0.5);
    };
    const COLORREF colour = RGB(mix(GetRValue(lower->colour), GetRValue(upper->colour)),
                                mix(GetGValue(lower->colour), GetGValue(upper->colour)),
                                mix(GetBValue(lower->colour), GetBValue(upper->colour)));
    FillSolid(dc, {area.left, area.top + row, area.right, area.top + row + 1}, colour);
  }
}

void FillSolid(HDC dc, const RECT& area, COLORREF colour) {
  const COLORREF old = SetBkColor(dc, colour);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &area, nullptr, 0, nullptr);
  SetBkColor(dc, old);
}

void FrameSolid(HDC dc, const RECT& area, COLORREF colour) {
  const RECT edges[] = {{area.left, area.top, area.right, area.top + 1},
                        {area.left, area.bottom - 1, area.right, area.bottom},
                        {area.left, area.top, area.left + 1, area.bottom},
                        {area.right - 1, area.top, area.right, area.bottom}};
  for (const RECT& edge : edges) FillSolid(dc, edge, colour);
}

void DrawPushButton(const DRAWITEMSTRUCT& item, const ButtonLook& look) {
  HDC dc = item.hDC;
  const RECT area = item.rcItem;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  const bool pressed = (item.itemState & ODS_SELECTED) != 0;
  const bool focused = (item.itemState & ODS_FOCUS) != 0;

  FillSolid(dc, area, look.background);
  HRGN shape = CreateRoundRectRgn(area.left, area.top, area.right + 1, area.bottom + 1, 6, 6);
  SelectClipRgn(dc, shape);
  COLORREF border = kFieldBorder;
  if (disabled) {
    FillSolid(dc, area, kDisabledBackground);
    border = RGB(190, 205, 225);
  } else if (pressed) {
    FillVerticalGradient(dc, area,
                         {{0, RGB(251, 219, 181)},
                          {0.5, RGB(254, 199, 120)},
                          {0.51, RGB(253, 173, 70)},
                          {1, RGB(254, 225, 120)}});
    border = RGB(194, 118, 43);
  } else {
    FillVerticalGradient(dc, area,
                         {{0, RGB(255, 255, 255)},
                          {0.5, RGB(231, 240, 251)},
                          {0.51, RGB(214, 230, 249)},
                          {1, RGB(196, 221, 246)}});
    if (focused) border = kFocusBorder;
  }
  SelectClipRgn(dc, nullptr);
  HBRUSH borderBrush = CreateSolidBrush(border);
  FrameRgn(dc, shape, borderBrush, 1, 1);
  DeleteObject(borderBrush);
  DeleteObject(shape);

  wchar_t caption[128];
  const int length = GetWindowTextW(item.hwndItem, caption, static_cast<int>(std::size(caption)));
  const Style& style = DriverStyle();
  const HGDIOBJ oldFont = SelectObject(dc, look.bold ? style.pageBoldFont : style.pageFont);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, disabled ? kDisabledText : look.text);
  RECT text = area;
  if (pressed) OffsetRect(&text, 1, 1);
  DrawTextW(dc, caption, length, &text, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, oldFont);
}

RECT CentredWindowRect(DWORD style, DWORD exStyle, int width, int height) {
  RECT frame{0, 0, width, height};
  AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const LONG frameWidth = frame.right - frame.left;
  const LONG frameHeight = frame.bottom - frame.top;
  const LONG left = work.left + (work.right - work.left - frameWidth) / 2;
  const LONG top = work.top + (work.bottom - work.top - frameHeight) / 2;
  return {left, top, left + frameWidth, top + frameHeight};
}

void CentreOnScreen(HWND window, int clientWidth, int clientHeight) {
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
  const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
  const RECT frame = CentredWindowRect(style, exStyle, clientWidth, clientHeight);
  SetWindowPos(window, nullptr, frame.left, frame.top, frame.right - frame.left,
               frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

int TextWidth(HFONT font, const wchar_t* text, int length) {
  HDC dc = GetDC(nullptr);
  const HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text, length, &size);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  return size.cx;
}

}  // namespace drv::win32
