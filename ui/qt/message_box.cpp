#include "ui/qt/message_box.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "ui/qt/style.h"

namespace drv {
namespace {

constexpr int kFontPoints = 12;
constexpr int kPixelsPerCharacter = kFontPoints - 2;
constexpr int kHeight = 73;
constexpr int kTextLeft = 2;
constexpr int kTextTop = 16;
constexpr int kTextHeight = 22;
constexpr int kButtonTop = 41;
constexpr int kButtonWidth = 72;
constexpr int kButtonHeight = 25;

}  // namespace

MessageBoxGeometry MessageBoxLayout(int characterCount) {
  MessageBoxGeometry geometry;
  const int width = characterCount * kPixelsPerCharacter;
  geometry.width = width;
  geometry.height = kHeight;
  geometry.textLeft = kTextLeft;
  geometry.textTop = kTextTop;
  geometry.textWidth = width;
  // C++ division truncates toward zero, as the layout wants for negative values too.
  geometry.buttonLeft = (width - kButtonWidth) / 2;
  geometry.buttonTop = kButtonTop;
  geometry.buttonWidth = kButtonWidth;
  geometry.buttonHeight = kButtonHeight;
  return geometry;
}

Tadvsm::Tadvsm(QWidget* parent)
    : QDialog(parent), text_(new QLabel(this)), okButton_(new QPushButton(this)) {
  setObjectName("advsm");
  setWindowTitle("advsm");
  setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
  setModal(true);
  ApplyDriverStyle(*this);

  text_->setObjectName("MessageText");
  text_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

  okButton_->setObjectName("MessageOkButton");
  okButton_->setText("ОК");
  okButton_->setDefault(true);
  connect(okButton_, &QPushButton::clicked, this, &QDialog::accept);

  SetText(QString());
}

void Tadvsm::SetText(const QString& text) {
  // Characters, not UTF-16 units, so that any text is sized by what the operator sees.
  const MessageBoxGeometry geometry = MessageBoxLayout(static_cast<int>(text.toUcs4().size()));
  text_->setText(text);
  text_->setGeometry(geometry.textLeft, geometry.textTop, geometry.textWidth, kTextHeight);
  okButton_->setGeometry(geometry.buttonLeft, geometry.buttonTop, geometry.buttonWidth,
                         geometry.buttonHeight);
  // A window cannot be narrower than one pixel; only an empty text comes near that.
  setFixedSize(std::max(geometry.width, 1), geometry.height);
}

QString Tadvsm::Text() const {
  return text_->text();
}

void Tadvsm::ShowMessageBox(const std::string& text) {
  // One box at a time: a message raised while the box is up (from a handler run by its own event
  // loop) would otherwise replace the text the operator is reading.
  if (dismissed_ || isVisible()) return;
  SetText(QString::fromStdString(text));
  CentreOnScreen(*this);
  okButton_->setFocus();
  exec();
}

void Tadvsm::Dismiss() {
  dismissed_ = true;
  if (isVisible()) done(QDialog::Rejected);
}

}  // namespace drv
