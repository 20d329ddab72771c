#include "ui/qt/style.h"

#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QStringList>
#include <QWidget>

// The pictures are compiled into this static library; nothing would pull them in otherwise.
static void InitResourcesOnce() {
  static const bool done = [] {
    Q_INIT_RESOURCE(drvtirval);
    return true;
  }();
  (void)done;
}

namespace drv {
namespace {

// Metric-compatible faces first, then the narrower common faces, then what every system has.
const QStringList kSansFamilies = {"Tahoma",      "Liberation Sans", "Arimo",
                                   "Arial",       "Nimbus Sans",     "DejaVu Sans Condensed",
                                   "DejaVu Sans", "Sans Serif"};
const QStringList kSerifFamilies = {"Times New Roman", "Liberation Serif", "Tinos",
                                    "Nimbus Roman",    "DejaVu Serif",     "Serif"};

QFont FontOf(const QStringList& families, QFont::StyleHint hint, int pixelSize) {
  QFont font;
  font.setFamilies(families);
  font.setStyleHint(hint);
  font.setPixelSize(pixelSize);
  return font;
}

QString CssFamilies(const QStringList& families) {
  QStringList quoted;
  for (const QString& family : families) quoted << '"' + family + '"';
  return quoted.join(", ");
}

}  // namespace

QFont PageFont() {
  return FontOf(kSansFamilies, QFont::SansSerif, 11);
}

QString DriverStyleSheet() {
  // Fonts are given here, not with setFont: a style sheet does not pass a parent's font on to
  // the pages of a stacked widget.
  const QString fonts = QStringLiteral(R"(
QWidget { font-family: %1; font-size: 11px; }
QLabel#MessageText, QLabel#PromptLabel { font-family: %2; font-size: 16px; font-weight: bold; }
)")
                            .arg(CssFamilies(kSansFamilies), CssFamilies(kSerifFamilies));
  return fonts + QStringLiteral(R"(
QWidget { color: rgb(8, 55, 114); }
QLabel#MessageText { color: black; }
QDialog, QMainWindow, QWidget#TForm1 { background-color: rgb(233, 241, 250); }

QPushButton {
  min-height: 0px;
  padding: 0px 6px;
  border: 1px solid rgb(141, 178, 227);
  border-radius: 3px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
      stop:0 rgb(255, 255, 255), stop:0.5 rgb(231, 240, 251), stop:0.51 rgb(214, 230, 249),
      stop:1 rgb(196, 221, 246));
}
QPushButton:hover {
  border-color: rgb(255, 183, 0);
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
      stop:0 rgb(255, 254, 240), stop:0.5 rgb(255, 240, 192), stop:0.51 rgb(255, 221, 128),
      stop:1 rgb(255, 236, 170));
}
QPushButton:pressed {
  border-color: rgb(194, 118, 43);
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
      stop:0 rgb(251, 219, 181), stop:0.5 rgb(254, 199, 120), stop:0.51 rgb(253, 173, 70),
      stop:1 rgb(254, 225, 120));
}
QPushButton:focus { border-color: rgb(61, 123, 203); }
QPushButton:disabled {
  color: rgb(141, 141, 141);
  border-color: rgb(190, 205, 225);
  background: rgb(235, 240, 247);
}
QPushButton#PushButton2 { color: rgb(0, 128, 0); font-weight: bold; }
QPushButton#PushButton2:disabled { color: rgb(141, 141, 141); }
QPushButton#PushButton1 { font-weight: bold; }

QToolButton[pageButton="true"] {
  border: 1px solid transparent;
  border-radius: 3px;
  background: transparent;
}
QToolButton[pageButton="true"]:hover {
  border-color: rgb(219, 206, 153);
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
      stop:0 rgb(255, 253, 237), stop:0.4 rgb(255, 236, 175), stop:0.41 rgb(255, 215, 110),
      stop:1 rgb(255, 240, 180));
}
QToolButton[pageButton="true"]:checked, QToolButton[pageButton="true"]:pressed {
  border-color: rgb(194, 155, 65);
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
      stop:0 rgb(254, 214, 160), stop:0.4 rgb(253, 190, 110), stop:0.41 rgb(252, 160, 50),
      stop:1 rgb(254, 215, 110));
}

QWidget#Banner { background: transparent; }
QWidget#ToolbarBand {
  border-bottom: 1px solid rgb(141, 178, 227);
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
      stop:0 rgb(246, 250, 255), stop:0.8 rgb(219, 233, 250), stop:1 rgb(199, 220, 246));
}
QLabel#ToolbarGroupCaption { color: rgb(21, 66, 139); }
QFrame#ToolbarSeparator { background: rgb(173, 201, 237); }

QStackedWidget#PageArea, QWidget#Default, QWidget#setup { background-color: rgb(233, 241, 250); }

QGroupBox {
  margin-top: 7px;
  border: 1px solid rgb(163, 192, 232);
  border-radius: 4px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
      stop:0 rgb(244, 248, 254), stop:1 rgb(221, 234, 250));
}
QGroupBox::title {
  subcontrol-origin: margin;
  subcontrol-position: top left;
  left: 8px;
  padding: 0px 3px;
  color: rgb(21, 66, 139);
  background-color: rgb(233, 241, 250);
}

QPlainTextEdit {
  color: rgb(8, 55, 114);
  background: white;
  border: 1px solid rgb(141, 178, 227);
  selection-background-color: rgb(61, 123, 203);
}

QLineEdit {
  background: white;
  border: 1px solid rgb(141, 178, 227);
  border-radius: 2px;
  padding: 0px 2px;
}
QLineEdit:focus { border-color: rgb(61, 123, 203); }

QComboBox {
  background: white;
  border: 1px solid rgb(141, 178, 227);
  border-radius: 2px;
  padding: 0px 2px;
}
QComboBox:disabled { color: rgb(141, 141, 141); background: rgb(235, 240, 247); }
QComboBox::drop-down {
  width: 15px;
  border-left: 1px solid rgb(141, 178, 227);
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
      stop:0 rgb(255, 255, 255), stop:1 rgb(196, 221, 246));
}
QComboBox::down-arrow { image: url(:/drvtirval/combo_arrow.png); }
QComboBox::down-arrow:disabled { image: url(:/drvtirval/combo_arrow_disabled.png); }
QComboBox QAbstractItemView {
  background: white;
  border: 1px solid rgb(141, 178, 227);
  selection-background-color: rgb(255, 226, 140);
  selection-color: rgb(8, 55, 114);
}

QCheckBox { spacing: 5px; background: transparent; }
QCheckBox::indicator { width: 13px; height: 13px; }
QCheckBox::indicator:unchecked { image: url(:/drvtirval/check_off.png); }
QCheckBox::indicator:unchecked:hover { image: url(:/drvtirval/check_off_hover.png); }
QCheckBox::indicator:checked { image: url(:/drvtirval/check_on.png); }
QCheckBox::indicator:checked:hover { image: url(:/drvtirval/check_on_hover.png); }

QMenu {
  color: rgb(8, 55, 114);
  background: rgb(250, 250, 250);
  border: 1px solid rgb(141, 178, 227);
  padding: 2px;
}
QMenu::item { padding: 3px 20px 3px 20px; }
QMenu::item:selected {
  border: 1px solid rgb(219, 206, 153);
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1,
      stop:0 rgb(255, 253, 237), stop:1 rgb(255, 226, 140));
}
QMenu::separator { height: 1px; margin: 3px 6px; background: rgb(197, 210, 230); }
)");
}

void ApplyDriverStyle(QWidget& window) {
  QPalette palette = window.palette();
  palette.setColor(QPalette::Window, kWindowBackground);
  palette.setColor(QPalette::WindowText, kPageText);
  palette.setColor(QPalette::ButtonText, kPageText);
  palette.setColor(QPalette::Text, kPageText);
  window.setPalette(palette);
  window.setAutoFillBackground(true);
  window.setFont(PageFont());
  window.setStyleSheet(DriverStyleSheet());
}

void InitDriverResources() {
  InitResourcesOnce();
}

void CentreOnScreen(QWidget& window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  window.move(area.center() - QPoint(window.width() / 2, window.height() / 2));
}

}  // namespace drv
