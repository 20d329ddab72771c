// drvtirval-draw-pictures: draws the driver's pictures (icon, application button, page buttons)
// into PNG files. The PNGs are kept in the repository and compiled into the program; run this
// again after changing a picture:  drvtirval-draw-pictures ui/resources
#include <cmath>
#include <cstdio>
#include <string>

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include "base/program_options.h"

namespace {

constexpr char kProgramName[] = "drvtirval-draw-pictures";
const drv::ProgramOption kOptions[] = {
    drv::HelpLines("Usage: drvtirval-draw-pictures OUTDIR\n"
                   "\n"
                   "Draws the driver's pictures to PNG files in OUTDIR, the pictures the programs\n"
                   "are built with (ui/resources).\n"
                   "\n"
                   "Options:\n"),
    {"--help", drv::ShowsHelp(), "  --help      show this text and exit\n"},
    {"--version", drv::ShowsVersion(), "  --version   show the version and exit\n"},
};

const QColor kDeepBlue(23, 63, 130);
const QColor kMidBlue(79, 135, 214);
const QColor kPaleBlue(188, 216, 251);
const QColor kGold(255, 211, 92);

QImage Blank(int width, int height) {
  QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

// The radio mast with its waves: the driver's emblem, centred at (cx, cy) in a box `size` high.
void DrawEmblem(QPainter& painter, qreal cx, qreal cy, qreal size) {
  const qreal unit = size / 32.0;
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::white);
  painter.drawRect(QRectF(cx - 1.5 * unit, cy - 2 * unit, 3 * unit, 13 * unit));
  painter.drawEllipse(QPointF(cx, cy - 4 * unit), 3 * unit, 3 * unit);

  QPen wave(Qt::white, 2.2 * unit, Qt::SolidLine, Qt::RoundCap);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(wave);
  const QRectF inner(cx - 8 * unit, cy - 12 * unit, 16 * unit, 16 * unit);
  painter.drawArc(inner, 135 * 16, 90 * 16);
  painter.drawArc(inner, -45 * 16, 90 * 16);
  wave.setColor(kGold);
  painter.setPen(wave);
  const QRectF outer(cx - 13 * unit, cy - 17 * unit, 26 * unit, 26 * unit);
  painter.drawArc(outer, 140 * 16, 80 * 16);
  painter.drawArc(outer, -40 * 16, 80 * 16);
}

QImage DriverIcon(int size) {
  QImage image = Blank(size, size);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  const QRectF body(0.5, 0.5, s - 1, s - 1);
  QLinearGradient fill(0, 0, 0, s);
  fill.setColorAt(0, QColor(111, 168, 232));
  fill.setColorAt(1, QColor(28, 79, 156));
  painter.setPen(QPen(kDeepBlue, 1));
  painter.setBrush(fill);
  painter.drawRoundedRect(body, s * 0.2, s * 0.2);

  QLinearGradient shine(0, 0, 0, s * 0.45);
  shine.setColorAt(0, QColor(255, 255, 255, 150));
  shine.setColorAt(1, QColor(255, 255, 255, 20));
  painter.setPen(Qt::NoPen);
  painter.setBrush(shine);
  painter.drawRoundedRect(QRectF(1.5, 1.5, s - 3, s * 0.42), s * 0.16, s * 0.16);

  DrawEmblem(painter, s / 2, s * 0.56, s * 0.9);
  return image;
}

QImage ApplicationButton() {
  QImage image = Blank(55, 49);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPointF centre(27.5, 24.5);

  QRadialGradient rim(centre, 23);
  rim.setColorAt(0.85, QColor(159, 189, 230));
  rim.setColorAt(1, QColor(159, 189, 230, 0));
  painter.setPen(Qt::NoPen);
  painter.setBrush(rim);
  painter.drawEllipse(centre, 23.5, 23.5);

  QRadialGradient orb(QPointF(27.5, 15), 30, QPointF(27.5, 12));
  orb.setColorAt(0, kPaleBlue);
  orb.setColorAt(0.5, kMidBlue);
  orb.setColorAt(1, kDeepBlue);
  painter.setPen(QPen(kDeepBlue, 1));
  painter.setBrush(orb);
  painter.drawEllipse(centre, 21, 21);

  QLinearGradient shine(0, 4, 0, 24);
  shine.setColorAt(0, QColor(255, 255, 255, 210));
  shine.setColorAt(1, QColor(255, 255, 255, 10));
  painter.setPen(Qt::NoPen);
  painter.setBrush(shine);
  painter.drawEllipse(QPointF(27.5, 14), 15, 9.5);

  DrawEmblem(painter, 27.5, 27, 30);
  return image;
}

QImage StatePageButton() {
  QImage image = Blank(32, 32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient casing(0, 3, 0, 24);
  casing.setColorAt(0, QColor(127, 169, 222));
  casing.setColorAt(1, QColor(45, 94, 168));
  painter.setPen(QPen(kDeepBlue, 1));
  painter.setBrush(casing);
  painter.drawRoundedRect(QRectF(2.5, 3.5, 27, 20), 2, 2);

  QLinearGradient screen(0, 6, 0, 21);
  screen.setColorAt(0, Qt::white);
  screen.setColorAt(1, QColor(207, 226, 248));
  painter.setPen(Qt::NoPen);
  painter.setBrush(screen);
  painter.drawRect(QRectF(5, 6, 22, 15));

  const QPointF pulse[] = {{6, 15}, {10, 15}, {12, 10}, {15, 19}, {18, 12}, {20, 15}, {26, 15}};
  painter.setPen(QPen(QColor(0, 128, 0), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.drawPolyline(pulse, 7);

  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(45, 94, 168));
  painter.drawRect(QRectF(13, 23.5, 6, 3));
  painter.setPen(QPen(kDeepBlue, 1));
  painter.setBrush(casing);
  painter.drawRoundedRect(QRectF(8.5, 26.5, 15, 3), 1, 1);
  return image;
}

QImage SettingsPageButton() {
  QImage image = Blank(32, 32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);

  // A serial connector...
  QLinearGradient plug(0, 5, 0, 16);
  plug.setColorAt(0, QColor(143, 181, 230));
  plug.setColorAt(1, QColor(45, 94, 168));
  QPainterPath shell;
  shell.moveTo(2.5, 4.5);
  shell.lineTo(22.5, 4.5);
  shell.lineTo(19.5, 15.5);
  shell.lineTo(5.5, 15.5);
  shell.closeSubpath();
  painter.setPen(QPen(kDeepBlue, 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(plug);
  painter.drawPath(shell);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::white);
  for (const QPointF pin :
       {QPointF(7.5, 8), QPointF(12.5, 8), QPointF(17.5, 8), QPointF(10, 12), QPointF(15, 12)}) {
    painter.drawEllipse(pin, 1.2, 1.2);
  }
  painter.setPen(QPen(kDeepBlue, 2));
  painter.setBrush(Qt::NoBrush);
  QPainterPath cable;
  cable.moveTo(12.5, 15.5);
  cable.lineTo(12.5, 19);
  cable.quadTo(12.5, 23, 16.5, 23);
  painter.drawPath(cable);

  // ...and a gear.
  const QPointF centre(23, 22);
  QPainterPath gear;
  const int teeth = 8;
  for (int i = 0; i < teeth * 2; ++i) {
    const qreal angle = i * M_PI / teeth;
    const qreal radius = (i % 2 == 0) ? 8.2 : 6.2;
    const qreal half = M_PI / teeth / 2.6;
    const QPointF a =
        centre + QPointF(radius * std::cos(angle - half), radius * std::sin(angle - half));
    const QPointF b =
        centre + QPointF(radius * std::cos(angle + half), radius * std::sin(angle + half));
    if (i == 0)
      gear.moveTo(a);
    else
      gear.lineTo(a);
    gear.lineTo(b);
  }
  gear.closeSubpath();
  QLinearGradient gold(0, 14, 0, 30);
  gold.setColorAt(0, QColor(255, 233, 168));
  gold.setColorAt(1, QColor(227, 163, 33));
  painter.setPen(QPen(QColor(154, 106, 16), 0.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(gold);
  painter.drawPath(gear);
  painter.setBrush(Qt::white);
  painter.drawEllipse(centre, 2.6, 2.6);
  return image;
}

// The drop-down arrow of the port list, in the text colour or greyed.
QImage ComboArrow(const QColor& colour) {
  QImage image = Blank(7, 4);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
  const QPointF triangle[] = {{0, 0}, {7, 0}, {3.5, 4}};
  painter.drawPolygon(triangle, 3);
  return image;
}

// The check box: a small framed square with a soft fill, ticked or not.
QImage CheckBox(bool ticked, bool hover) {
  QImage image = Blank(13, 13);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient fill(0, 0, 13, 13);
  fill.setColorAt(0, QColor(220, 232, 248));
  fill.setColorAt(1, Qt::white);
  painter.setPen(QPen(hover ? QColor(255, 183, 0) : QColor(141, 178, 227), 1));
  painter.setBrush(fill);
  painter.drawRect(QRectF(0.5, 0.5, 12, 12));
  if (ticked) {
    QPainterPath tick;
    tick.moveTo(3, 6.5);
    tick.lineTo(5.5, 9);
    tick.lineTo(10, 3.5);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(21, 66, 139), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(tick);
  }
  return image;
}

bool Save(const QImage& image, const QDir& directory, const char* name) {
  const QString path = directory.filePath(QString::fromLatin1(name));
  if (image.save(path, "PNG")) return true;
  std::fprintf(stderr, "%s: cannot write %s\n", kProgramName, qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const drv::ProgramCommandLine commandLine =
      drv::ReadCommandLine(kOptions, drv::ArgumentsOf(argc, argv), drv::OperandRule::kAny);
  if (const auto status = drv::AnswerUnlessRun(commandLine, kOptions, kProgramName)) {
    return *status;
  }
  if (commandLine.operands.size() != 1) {
    std::fputs(
        drv::UsageErrorText(kProgramName, "expected one argument, the output directory").c_str(),
        stderr);
    return drv::kUsageErrorStatus;
  }
  const std::string& outputDirectory = commandLine.operands.front();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QDir directory(QString::fromLocal8Bit(outputDirectory.c_str()));
  bool ok = true;
  ok &= Save(DriverIcon(16), directory, "driver_icon_16.png");
  ok &= Save(DriverIcon(32), directory, "driver_icon_32.png");
  ok &= Save(DriverIcon(48), directory, "driver_icon_48.png");
  ok &= Save(ApplicationButton(), directory, "app_button.png");
  ok &= Save(StatePageButton(), directory, "page_state.png");
  ok &= Save(SettingsPageButton(), directory, "page_setup.png");
  ok &= Save(ComboArrow(QColor(21, 66, 139)), directory, "combo_arrow.png");
  ok &= Save(ComboArrow(QColor(160, 160, 160)), directory, "combo_arrow_disabled.png");
  ok &= Save(CheckBox(false, false), directory, "check_off.png");
  ok &= Save(CheckBox(true, false), directory, "check_on.png");
  ok &= Save(CheckBox(false, true), directory, "check_off_hover.png");
  ok &= Save(CheckBox(true, true), directory, "check_on_hover.png");
  return ok ? 0 : 1;
}
