#include "ui/qt/main_window.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolButton>

#include "app/port_controls.h"
#include "ui/qt/close_code_dialog.h"
#include "ui/qt/link_indicator_pixmap.h"
#include "ui/qt/message_box.h"
#include "ui/qt/style.h"
#include "ui/window_texts.h"

namespace drv {
namespace {

constexpr int kClientWidth = 447;
constexpr int kClientHeight = 331;
constexpr int kBannerHeight = 57;
constexpr int kToolbarHeight = 81;
constexpr int kPageHeight = 193;
constexpr int kLabelHeight = 13;
constexpr int kTickPeriodMs = 200;

// Labels size themselves to their text, as the layout expects; in the style sheet's font, which
// a widget takes only when polished.
void SetAutoSizedText(QLabel& label, const QString& text) {
  label.setText(text);
  label.ensurePolished();
  label.adjustSize();
  label.resize(label.width(), kLabelHeight);
}

QLabel* MakeLabel(QWidget* parent, const char* objectName, const QString& text, int left, int top) {
  auto* label = new QLabel(parent);
  label->setObjectName(objectName);
  label->move(left, top);
  SetAutoSizedText(*label, text);
  return label;
}

QLabel* MakePicture(QWidget* parent, const char* objectName, int left, int top) {
  auto* picture = new QLabel(parent);
  picture->setObjectName(objectName);
  picture->setGeometry(left, top, kIndicatorSize, kIndicatorSize);
  return picture;
}

}  // namespace

// The top band of the window: the application button picture and the banner caption. The system
// title bar stays above it with its minimise, maximise and close buttons: a frameless window that
// draws its own would lose moving, snapping and keyboard handling in many window managers.
class Banner final : public QWidget {
 public:
  explicit Banner(QWidget* parent) : QWidget(parent), caption_(kDefaultBannerCaption) {
    setObjectName("Banner");
    InitDriverResources();
    applicationButton_.load(":/drvtirval/app_button.png");
  }

  QString Caption() const { return caption_; }
  void SetCaption(const QString& caption) {
    caption_ = caption;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    QLinearGradient band(0, 0, 0, height());
    band.setColorAt(0, QColor(227, 239, 253));
    band.setColorAt(0.45, QColor(207, 225, 248));
    band.setColorAt(0.46, QColor(191, 214, 245));
    band.setColorAt(1, QColor(214, 230, 250));
    painter.fillRect(rect(), band);
    painter.setPen(QColor(141, 178, 227));
    painter.drawLine(0, height() - 1, width(), height() - 1);

    painter.drawPixmap(1, (height() - applicationButton_.height()) / 2, applicationButton_);

    QFont font = PageFont();
    font.setPixelSize(13);
    font.setBold(true);
    painter.setFont(font);
    const QRect textArea(62, 0, width() - 68, height());
    painter.setPen(QColor(255, 255, 255, 160));
    painter.drawText(textArea.translated(0, 1), Qt::AlignCenter, caption_);
    painter.setPen(QColor(21, 66, 139));
    painter.drawText(textArea, Qt::AlignCenter, caption_);
  }

 private:
  QString caption_;
  QPixmap applicationButton_;
};

// The port list, an editable drop-down list. Qt activates an entry also when the operator types
// its name and presses Enter or leaves the field; only a pick from the list is a selection, so the
// box tells while it is handling such a commit of typed text.
class PortListBox final : public QComboBox {
 public:
  explicit PortListBox(QWidget* parent) : QComboBox(parent) {}

  bool CommittingTypedText() const { return committingTypedText_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const bool commit = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const QScopedValueRollback<bool> during(committingTypedText_, committingTypedText_ || commit);
    QComboBox::keyPressEvent(event);
  }
  void focusOutEvent(QFocusEvent* event) override {
    const QScopedValueRollback<bool> during(committingTypedText_, true);
    QComboBox::focusOutEvent(event);
  }

 private:
  bool committingTypedText_ = false;
};

TForm1::TForm1(Tadvsm& messageBox, QWidget* parent)
    : QWidget(parent),
      messageBox_(messageBox),
      lifecycle_({[this](bool run) { run ? tickTimer_.start() : tickTimer_.stop(); },
                  [this] {
                    if (closeCodeDialog_ != nullptr) closeCodeDialog_->Dismiss();
                    messageBox_.Dismiss();
                  },
                  [this] {
                    hide();
                    emit closeAccepted();
                  },
                  [this] {
                    if (tray_ != nullptr) tray_->hide();
                  }}) {
  setObjectName("TForm1");
  InitDriverResources();
  setWindowTitle(kMainWindowTitle);
  setWindowIcon(QIcon(":/drvtirval/driver_icon_32.png"));
  setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(kClientWidth, kClientHeight);
  ApplyDriverStyle(*this);

  banner_ = new Banner(this);
  banner_->setGeometry(0, 0, kClientWidth, kBannerHeight);
  BuildToolbar();

  pages_ = new QStackedWidget(this);
  pages_->setObjectName("PageArea");
  pages_->setGeometry(0, kBannerHeight + kToolbarHeight, kClientWidth, kPageHeight);
  pages_->addWidget(BuildStatePage());
  pages_->addWidget(BuildSettingsPage());
  ShowPage(kStatePage);

  tickTimer_.setInterval(kTickPeriodMs);
  connect(&tickTimer_, &QTimer::timeout, this, &TForm1::Timer2Timer);

  // The icon is in the notification area from the start.
  BuildTray();

  CentreOnScreen(*this);
}

TForm1::~TForm1() {
  ShutdownDriver();
}

void TForm1::BuildToolbar() {
  auto* band = new QWidget(this);
  band->setObjectName("ToolbarBand");
  band->setAttribute(Qt::WA_StyledBackground);
  band->setGeometry(0, kBannerHeight, kClientWidth, kToolbarHeight);

  pageButtons_ = new QButtonGroup(this);
  pageButtons_->setExclusive(true);
  struct Group {
    const char* buttonName;
    const char* caption;
    const char* picture;
  };
  const Group groups[] = {
      {"StatePageButton", kStatePageCaption, ":/drvtirval/page_state.png"},
      {"SettingsPageButton", kSettingsPageCaption, ":/drvtirval/page_setup.png"}};
  constexpr int kGroupWidth = 88;
  for (int i = 0; i < 2; ++i) {
    const int left = i * (kGroupWidth + 1);
    auto* button = new QToolButton(band);
    button->setObjectName(groups[i].buttonName);
    button->setAccessibleName(groups[i].caption);
    button->setToolTip(groups[i].caption);
    button->setProperty("pageButton", true);
    button->setCheckable(true);
    button->setIcon(QIcon(groups[i].picture));
    button->setIconSize(QSize(32, 32));
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(left + (kGroupWidth - 72) / 2, 4, 72, 54);
    pageButtons_->addButton(button, i);

    auto* caption = new QLabel(groups[i].caption, band);
    caption->setObjectName("ToolbarGroupCaption");
    caption->setAlignment(Qt::AlignCenter);
    caption->setGeometry(left, 62, kGroupWidth, 15);

    auto* separator = new QFrame(band);
    separator->setObjectName("ToolbarSeparator");
    separator->setGeometry(left + kGroupWidth, 6, 1, kToolbarHeight - 12);
  }
  // A click on the pressed button changes nothing: the exclusive group keeps it pressed.
  connect(pageButtons_, &QButtonGroup::idClicked, this,
          [this](int id) { ShowPage(static_cast<Page>(id)); });
}

QWidget* TForm1::BuildStatePage() {
  // Built inside the page area: a page reparented later would miss the window's font.
  auto* page = new QWidget(pages_);
  page->setObjectName("Default");
  page->setAttribute(Qt::WA_StyledBackground);

  MakeLabel(page, "StationLinkCaption", kStationLinkCaption, 8, 10);
  stationIndicator_ = MakePicture(page, "Image2", 176, 8);
  MakeLabel(page, "ServerLinkCaption", kServerLinkCaption, 256, 10);
  serverIndicator_ = MakePicture(page, "Image3", 416, 8);

  auto* startCaption = new QLabel(kStartTimeCaption, page);
  startCaption->setObjectName("StartTimeCaption");
  startCaption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  startCaption->setGeometry(7, 37, 111, kLabelHeight);
  startTimeLabel_ = MakeLabel(page, "Label6", QString(), 124, 37);

  secondServerCaption_ = MakeLabel(page, "Label13", kServerLinkCaption, 256, 37);
  secondServerIndicator_ = MakePicture(page, "Image1", 416, 35);
  secondServerCaption_->setVisible(false);
  secondServerIndicator_->setVisible(false);

  MakeLabel(page, "CloseCodeCaption", kCloseCodeCaption, 7, 65);
  closeCodeLabel_ = MakeLabel(page, "Label15", QString(), 124, 65);

  displayList_ = new QPlainTextEdit(page);
  displayList_->setObjectName("Memo1");
  displayList_->setGeometry(7, 84, 432, 100);
  displayList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  displayList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  displayList_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  displayList_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  return page;
}

QWidget* TForm1::BuildSettingsPage() {
  auto* page = new QWidget(pages_);
  page->setObjectName("setup");
  page->setAttribute(Qt::WA_StyledBackground);

  auto* group = new QGroupBox(kPortGroupCaption, page);
  group->setObjectName("GroupBox1");
  group->setGeometry(9, 3, 428, 62);

  portList_ = new PortListBox(group);
  portList_->setObjectName("ComboBox1");
  portList_->setEditable(true);
  portList_->setInsertPolicy(QComboBox::NoInsert);
  portList_->setMaxVisibleItems(8);
  portList_->setGeometry(18, 25, 103, 21);
  connect(portList_, &QComboBox::activated, this, [this] {
    if (!portList_->CommittingTypedText()) ComboBox1Select();
  });

  startStopButton_ = new QPushButton(group);
  startStopButton_->setObjectName("PushButton2");
  startStopButton_->setGeometry(143, 22, 94, 25);
  connect(startStopButton_, &QPushButton::clicked, this, &TForm1::PushButton2Click);

  scanButton_ = new QPushButton(kScanCaption, group);
  scanButton_->setObjectName("PushButton1");
  scanButton_->setGeometry(243, 22, 170, 25);
  connect(scanButton_, &QPushButton::clicked, this, &TForm1::PushButton1Click);

  // The form starts in the running appearance; the driver's start-up changes it.
  SetStartStopCaption(kCaptionStop);
  SetScanEnabled(false);
  SetPortListEnabled(false);

  frameDisplayBox_ = new QCheckBox(kFrameDisplayCaption, page);
  frameDisplayBox_->setObjectName("CheckBox1");
  frameDisplayBox_->setGeometry(10, 71, 263, 20);
  frameDisplayBox_->setChecked(false);
  return page;
}

void TForm1::BuildTray() {
  trayMenu_ = new QMenu(this);
  trayMenu_->setObjectName("TrayMenu");
  trayMenu_->setStyleSheet(DriverStyleSheet());
  trayMenu_->setFont(PageFont());
  connect(trayMenu_->addAction(kRestoreItem), &QAction::triggered, this, &TForm1::RestoreFromTray);
  trayMenu_->addSeparator();
  connect(trayMenu_->addAction(kCloseItem), &QAction::triggered, this, &TForm1::RequestClose);

  QIcon icon;
  for (const char* file : {":/drvtirval/driver_icon_16.png", ":/drvtirval/driver_icon_32.png",
                           ":/drvtirval/driver_icon_48.png"}) {
    icon.addFile(file);
  }
  tray_ = new QSystemTrayIcon(icon, this);
  tray_->setToolTip(kMainWindowTitle);
  // The menu opens on the right button; the left button and a double click do nothing.
  tray_->setContextMenu(trayMenu_);
  tray_->show();
}

void TForm1::StartDriver(const DriverPlatform& platform) {
  lifecycle_.StartDriver(platform, *this);
}

void TForm1::Timer2Timer() {
  if (Driver* driver = DriverLogic()) driver->OnTick();
}

void TForm1::PushButton1Click() {
  if (Driver* driver = DriverLogic()) driver->RescanPorts();
}

void TForm1::PushButton2Click() {
  if (Driver* driver = DriverLogic()) driver->StartOrStop();
}

void TForm1::ComboBox1Select() {
  if (Driver* driver = DriverLogic()) driver->SaveChosenPort();
}

void TForm1::EndProgram() {
  lifecycle_.EndProgram();
}

void TForm1::ShutdownDriver() {
  lifecycle_.ShutdownDriver();
}

void TForm1::RequestClose() {
  lifecycle_.RequestClose();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (lifecycle_.CloseAccepted()) {
    event->accept();
    return;
  }
  event->ignore();
  RequestClose();
}

bool TForm1::HidesToTray() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
  // Without a notification area a hidden window could not be brought back: it stays minimised
  // with its taskbar entry.
  if (!HidesToTray()) return;
  QTimer::singleShot(0, this, [this] {
    if (isMinimized()) hide();
  });
}

void TForm1::RestoreFromTray() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

QString TForm1::BannerCaption() const {
  return banner_->Caption();
}

TForm1::Page TForm1::CurrentPage() const {
  return static_cast<Page>(pages_->currentIndex());
}

void TForm1::ShowPage(Page page) {
  pages_->setCurrentIndex(page);
  pageButtons_->button(page)->setChecked(true);
}

// The display list. An empty memo still holds one empty block; it has no lines.
std::size_t TForm1::LineCount() const {
  const QTextDocument* document = displayList_->document();
  if (document->isEmpty()) return 0;
  return static_cast<std::size_t>(document->blockCount());
}

void TForm1::DeleteFirstLine() {
  QTextDocument* document = displayList_->document();
  if (document->isEmpty()) return;
  QTextCursor cursor(document->firstBlock());
  if (document->blockCount() > 1) {
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
  } else {
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  }
  cursor.removeSelectedText();
}

void TForm1::AppendLine(const std::string& line) {
  displayList_->appendPlainText(QString::fromStdString(line));
}

// The port controls.
std::string TForm1::StartStopCaption() const {
  return startStopButton_->text().toStdString();
}

void TForm1::SetStartStopCaption(const std::string& caption) {
  startStopButton_->setText(QString::fromStdString(caption));
}

void TForm1::SetScanEnabled(bool enabled) {
  scanButton_->setEnabled(enabled);
}

void TForm1::SetPortListEnabled(bool enabled) {
  portList_->setEnabled(enabled);
}

void TForm1::ClearPortList() {
  // Emptying the list keeps the text the operator sees.
  const QString text = portList_->currentText();
  portList_->clear();
  portList_->setEditText(text);
}

void TForm1::AppendPortListItem(const std::string& name) {
  const QString text = portList_->currentText();
  const int index = portList_->currentIndex();
  portList_->addItem(QString::fromStdString(name));
  // Adding to an empty list would select the new entry; the list's selection stays as it was.
  if (portList_->currentIndex() != index) {
    portList_->setCurrentIndex(index);
    portList_->setEditText(text);
  }
}

int TForm1::PortListCount() const {
  return portList_->count();
}

void TForm1::SetPortListIndex(int index) {
  // Selecting nothing (or an entry that does not exist) empties the text.
  if (index < 0 || index >= portList_->count()) {
    portList_->setCurrentIndex(-1);
    portList_->setEditText(QString());
    return;
  }
  portList_->setCurrentIndex(index);
}

std::string TForm1::PortListText() const {
  return portList_->currentText().toStdString();
}

// What the driver's logic asks of the window.
void TForm1::ShowMessageBox(const std::string& text) {
  if (Ending()) return;
  messageBox_.ShowMessageBox(text);
}

CloseCodeAnswer TForm1::AskCloseCode() {
  if (closeCodeDialog_ == nullptr || Ending()) return CloseCodeAnswer::kCancelled;
  return closeCodeDialog_->AskCloseCode(closeCode_);
}

bool TForm1::FrameDisplayEnabled() const {
  return frameDisplayBox_->isChecked();
}

void TForm1::DrawStationIndicator(bool linkUp) {
  stationIndicator_->setPixmap(LinkIndicatorPixmap(DrawLinkIndicator(linkUp, 0)));
}

void TForm1::DrawServerIndicator(bool linkUp, int barPosition) {
  serverIndicator_->setPixmap(LinkIndicatorPixmap(DrawLinkIndicator(linkUp, barPosition)));
}

void TForm1::SetBannerCaption(const std::string& caption) {
  banner_->SetCaption(QString::fromStdString(caption));
}

void TForm1::SetSecondServerRowVisible(bool visible) {
  secondServerCaption_->setVisible(visible);
  secondServerIndicator_->setVisible(visible);
}

void TForm1::ShowCloseCode(const std::string& code) {
  closeCode_ = code;
  SetAutoSizedText(*closeCodeLabel_, QString::fromStdString(code));
  if (closeCodeObserver_) closeCodeObserver_(code);
}

void TForm1::ShowStartTime(const std::string& text) {
  SetAutoSizedText(*startTimeLabel_, QString::fromStdString(text));
}

}  // namespace drv
