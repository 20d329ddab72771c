#pragma once

#include <QPixmap>

#include "ui/link_indicator.h"

namespace drv {

// The indicator's pixels as a picture for a QLabel.
QPixmap LinkIndicatorPixmap(const IndicatorPixels& pixels);

}  // namespace drv
