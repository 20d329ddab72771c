#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QWidget;

namespace drv {

// The look shared by every window of the driver, so that they read as one product.
inline const QColor kWindowBackground(233, 241, 250);
inline const QColor kPageText(8, 55, 114);
inline const QColor kStartStopText(0, 128, 0);

// Tahoma 8 pt as drawn at 96 dpi (11 pixels), with metric-compatible or narrow sans-serif
// fallbacks where Tahoma is not installed, so the fixed layout keeps its proportions.
QFont PageFont();
// Fonts (the page font everywhere; Times New Roman bold 12 pt, that is 16 pixels at 96 dpi, with
// serif fallbacks, for the labels named MessageText and PromptLabel), colours, gradient buttons,
// light-blue panels, combo box, check box and menus.
QString DriverStyleSheet();

// Background, text colour, font and style sheet of a top-level window of the driver.
void ApplyDriverStyle(QWidget& window);

// Makes the driver's pictures (":/drvtirval/...") available; called by every window that uses them.
void InitDriverResources();

// Centres a top-level window on the primary screen's work area.
void CentreOnScreen(QWidget& window);

}  // namespace drv
