#include "ui/qt/link_indicator_pixmap.h"

#include <QImage>

namespace drv {

QPixmap LinkIndicatorPixmap(const IndicatorPixels& pixels) {
  QImage image(kIndicatorSize, kIndicatorSize, QImage::Format_RGB32);
  for (int y = 0; y < kIndicatorSize; ++y) {
    for (int x = 0; x < kIndicatorSize; ++x) {
      const Rgb colour = pixels.At(x, y);
      image.setPixel(x, y, qRgb(colour.r, colour.g, colour.b));
    }
  }
  return QPixmap::fromImage(image);
}

}  // namespace drv
