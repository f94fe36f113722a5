#include "Cam.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <cstdio>

#include "Artwork.h"
#include "ControlPanel.h"
#include "FileHelpers.h"
#include "ParallelPort.h"

namespace tarvik {
namespace {

constexpr long kStepPeriodNs = 1'000'000;  // one half-step per millisecond

QString Caption(const std::string& text) {
    return QString::fromStdString(text);
}

QPushButton* Button(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    return button;
}

QLabel* Label(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    return label;
}

QGroupBox* Frame(QWidget* parent, const char* name, int y) {
    auto* frame = new QGroupBox(parent);
    frame->setObjectName(name);
    frame->setGeometry(2, y, 225, 73);
    return frame;
}

}  // namespace

Cam::Cam(std::string baseDir, PortWriter& port, ParallelPort* describePort,
         WebServerLimits webLimits)
    : baseDir_(std::move(baseDir)),
      describePort_(describePort),
      MotorScroll(new QScrollBar(Qt::Horizontal, this)),
      List1(new QListView(this)),
      MsgList(new QListView(this)),
      CoilLamps(new CoilIndicators(this)),
      port_(port, *CoilLamps),
      scroll_(*MotorScroll),
      TmrStepServer(kStepPeriodNs, [this] { TmrStepServer_Timer(); }),
      autoTimer_(AutoTmr),
      motor_(port_, TmrStepServer, scroll_, *this),
      sweep_(motor_, autoTimer_),
      list1View_(List1Model),
      msgListView_(MsgListModel),
      chat_(MsgListModel, clock_),
      handler_(motor_, pages_, List1Model, chat_, clock_),
      webServer_(std::make_unique<WebServer>(handler_, webLimits)) {
    setObjectName("Cam");
    setWindowTitle("Tarvik v1.0");
    setWindowIcon(TarvikIcon());
    setFixedSize(460, 372);
    webServer_->SetBetweenEvents([this] { TmrStepServer.ServeIfDue(); });
    List1Model.SetView(&list1View_);
    MsgListModel.SetView(&msgListView_);
    List1->setModel(&list1View_);
    MsgList->setModel(&msgListView_);
    BuildControls();
    WireControls();
}

Cam::~Cam() {
    Shutdown();
    List1Model.SetView(nullptr);
    MsgListModel.SetView(nullptr);
}

void Cam::BuildControls() {
    Frame1 = Frame(this, "Frame1", 0);
    CmdSingleL = Button(Frame1, "CmdSingleL", "Turn one step left", {6, 8, 105, 25});
    CmdSingleR = Button(Frame1, "CmdSingleR", "Turn one step right", {114, 8, 105, 25});
    Command1 = Button(Frame1, "Command1", "Turn X steps left", {6, 40, 105, 25});
    Command2 = Button(Frame1, "Command2", "Turn X steps right", {114, 40, 105, 25});

    Frame2 = Frame(this, "Frame2", 75);
    CmdResetCam = Button(Frame2, "CmdResetCam", "Reset", {6, 8, 105, 25});
    CmdCenter = Button(Frame2, "CmdCenter", "Center", {6, 40, 105, 25});
    CmdAutoTmr = Button(Frame2, "CmdAutoTmr", "Auto timer on", {114, 8, 105, 25});

    Frame3 = Frame(this, "Frame3", 150);
    // The panel was laid out for a small dialog font; keep its texts whole.
    QFont panelFont = font();
    panelFont.setPointSizeF(8);
    for (QGroupBox* frame : {Frame1, Frame2, Frame3}) frame->setFont(panelFont);
    Label4 = Label(Frame3, "Label4", "Motor position:", {6, 6, 102, 18});
    StepLabel = Label(Frame3, "StepLabel", "123", {108, 6, 38, 18});
    Label5 = Label(Frame3, "Label5", "Scrollbar position:", {6, 27, 102, 18});
    ScrollLabel = Label(Frame3, "ScrollLabel", "123", {108, 27, 38, 18});
    Label1 = Label(Frame3, "Label1", "Incoming port:", {6, 48, 102, 18});
    Label2 = Label(Frame3, "Label2", "8534", {108, 48, 38, 18});
    ChangBigstep = Button(Frame3, "ChangBigstep", "Change steps", {146, 4, 74, 23});
    StepText = new QLineEdit("6", Frame3);
    StepText->setObjectName("StepText");
    StepText->setGeometry(146, 29, 74, 22);
    StepNote = Label(Frame3, "StepNote", "", {146, 52, 76, 18});
    StepNote->setStyleSheet("color: #b00000;");

    // Every line has the same height: without this each change measures all lines again.
    List1->setUniformItemSizes(true);
    MsgList->setUniformItemSizes(true);
    List1->setObjectName("List1");
    List1->setGeometry(232, 8, 225, 212);
    MotorScroll->setObjectName("MotorScroll");
    // A scroll bar takes no focus by default; this one is how the keyboard turns the camera.
    MotorScroll->setFocusPolicy(Qt::StrongFocus);
    MotorScroll->setInvertedControls(false);  // the right arrow key turns right
    MotorScroll->setGeometry(2, 224, 457, 17);
    MsgList->setObjectName("MsgList");
    MsgList->setGeometry(2, 248, 457, 69);
    CoilLamps->setObjectName("CoilLamps");
    CoilLamps->setGeometry(4, 322, 64, 16);
    CoilLamps->setToolTip("Coils D3 D2 D1 D0 as last written to the port");
    PortLabel = Label(this, "PortLabel", "", {72, 321, 386, 18});
    NoticeLabel = Label(this, "NoticeLabel", "", {4, 342, 454, 28});
    NoticeLabel->setWordWrap(true);
    NoticeLabel->setStyleSheet("color: #b00000;");

    setTabOrder(List1, MotorScroll);
    setTabOrder(MotorScroll, MsgList);
    setTabOrder(MsgList, CmdSingleL);

    TimerScroll.setInterval(20);
    AutoTmr.setInterval(3000);
}

void Cam::WireControls() {
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    connect(CmdSingleL, &QPushButton::clicked, this, [this] { CmdSingleL_Click(); });
    connect(CmdSingleR, &QPushButton::clicked, this, [this] { CmdSingleR_Click(); });
    connect(CmdResetCam, &QPushButton::clicked, this, [this] { CmdResetCam_Click(); });
    connect(ChangBigstep, &QPushButton::clicked, this, [this] { ChangBigstep_Click(); });
    connect(CmdCenter, &QPushButton::clicked, this, [this] { CmdCenter_Click(); });
    connect(CmdAutoTmr, &QPushButton::clicked, this, [this] { CmdAutoTmr_Click(); });
    connect(&TimerScroll, &QTimer::timeout, this, [this] { TimerScroll_Timer(); });
    // The follow only has work while the scroll bar moves or differs from the motor: an
    // idle Tarvik then sleeps instead of waking fifty times a second.
    connect(MotorScroll, &QScrollBar::valueChanged, this, [this] {
        if (loaded_ && !shutDown_ && !TimerScroll.isActive()) TimerScroll.start();
    });
    connect(&AutoTmr, &QTimer::timeout, this, [this] { AutoTmr_Timer(); });
}

std::optional<QString> Cam::Form_Load() {
    // Before anything is claimed, energised or written: a second Tarvik on the same folder
    // stops here.
    if (auto busy = configLock_.Take(baseDir_ + "/Config")) return Caption(*busy);
    RegisterHotKeys();
    pages_ = LoadPages(baseDir_);
    auto settings = LoadDriveSettings(baseDir_);
    if (auto* error = std::get_if<StartupError>(&settings)) {
        return Caption(error->Message());
    }
    const DriveSettings& s = std::get<DriveSettings>(settings);
    CheckPositionFileWritable();
    motor_.Load(s);
    coilsEnergised_ = true;
    SetBigStep(s.BigStep);
    if (!s.portAddress) {
        PortLabel->setText("Port address " + QString::fromStdString(s.LptAddress) +
                           " needs more than 16 bits: nothing is written");
    } else if (describePort_ != nullptr) {
        PortLabel->setText(Caption(describePort_->Describe(*s.portAddress)));
    }
    if (auto failure = StartListener()) {
        motor_.SwitchCoilsOff();
        return failure;
    }
    BuildTray();
    TimerScroll.start();
    loaded_ = true;
    return std::nullopt;
}

std::optional<QString> Cam::StartListener() {
    auto port = ReadWholeNumber(baseDir_, files::kPort, 0, 65535);
    if (auto* error = std::get_if<StartupError>(&port)) return Caption(error->Message());
    const int number = std::get<std::int32_t>(port);
    QString reason;
    if (!webServer_->Listen(static_cast<std::uint16_t>(number), &reason)) {
        return QString("Cannot listen on TCP port %1 (from \"Config/Port.ini\"): %2")
            .arg(number)
            .arg(reason);
    }
    Label2->setText(QString::number(webServer_->LocalPort()));
    return std::nullopt;
}

// The key hook goes in first so that no key press is missed, as the window expects.
void Cam::RegisterHotKeys() {
    hotKeys_ = std::make_unique<HotKeys>();
    windowProc_ = std::make_unique<WindowProc>(*hotKeys_, [this](int id) { OnHotKey(id); });
    QAbstractEventDispatcher::instance()->installNativeEventFilter(windowProc_.get());
    for (const HotKeyEntry& entry : HotKeyTable()) {
        QString error;
        if (!hotKeys_->AddHotKey(entry.modifiers, entry.key, &error)) {
            Notice("Hot key " + entry.name + ": " + error);
        }
    }
}

void Cam::OnHotKey(int id) {
    if (id == 1) Command1_Click();
    if (id == 2) Command2_Click();
}

void Cam::BuildTray() {
    mnuPopup = new QMenu("Popup", this);
    mnushow = mnuPopup->addAction("&Show", this, [this] { mnushow_Click(); });
    mnuExit = mnuPopup->addAction("&Exit", this, [this] { mnuExit_Click(); });
    TrayIcon = new QSystemTrayIcon(windowIcon(), this);
    TrayIcon->setToolTip("Ruzuvuzuri");
    TrayIcon->setContextMenu(mnuPopup);
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick) mnushow_Click();
            });
}

void Cam::SetBigStep(std::int16_t value) {
    motor_.BigStep = value;
    StepText->setText(QString::number(value));
    Command1->setText(Caption(BigMoveCaption(value, true)));
    Command2->setText(Caption(BigMoveCaption(value, false)));
}

void Cam::ShowPosition(std::int16_t TotalSteps) {
    StepLabel->setNum(TotalSteps);
}

// Saving at the end of every move means a crash or power cut loses at most one move.
void Cam::MoveEnded() {
    SavePosition();
}

void Cam::SavePosition() {
    const std::string path = baseDir_ + files::kTotalSteps;
    const SaveOutcome outcome = WriteFileContents(path, std::to_string(motor_.TotalSteps));
    lastSaveFailed_ = !outcome.saved;
    if (!outcome.saved) {
        Notice(QString("Position %1 not saved to \"%2\": %3")
                   .arg(motor_.TotalSteps)
                   .arg(Caption(path), Caption(outcome.reason)),
               "save");
        return;
    }
    ClearNotice("save");
    if (!outcome.atomic && !nonAtomicSaidOnce_) {
        nonAtomicSaidOnce_ = true;
        Notice("Saves of \"Config/totalsteps.ini\" are not atomic: " + Caption(outcome.reason));
    }
}

// Said at once, so that nobody learns at the end of a day's work that nothing was kept.
void Cam::CheckPositionFileWritable() {
    const SaveOutcome check = CheckWritable(baseDir_ + files::kTotalSteps);
    if (!check.saved) {
        Notice("The position cannot be saved to \"Config/totalsteps.ini\": " +
               Caption(check.reason));
    } else if (!check.atomic) {
        nonAtomicSaidOnce_ = true;
        Notice("Saves of \"Config/totalsteps.ini\" are not atomic: " + Caption(check.reason));
    }
}

void Cam::TimerScroll_Timer() {
    ScrollLabel->setNum(MotorScroll->value());
    ScrollFollowTick(motor_, scroll_);
    if (!motor_.IsMoving() && MotorScroll->value() == motor_.ScrollPos) TimerScroll.stop();
}

void Cam::ChangBigstep_Click() {
    const StepSizeInput input = ParseStepSize(StepText->text().toStdString());
    if (!input.value) {
        StepNote->setText("Not changed");
        StepNote->setToolTip(Caption(input.reason));
        Notice(Caption(input.reason) + " (step size stays " + QString::number(motor_.BigStep) +
               ")");
        return;
    }
    StepNote->clear();
    SetBigStep(*input.value);
}

void Cam::CmdCenter_Click() {
    if (!CenterHere(motor_, scroll_)) {
        Notice(QString("Center refused: the middle %1 lies outside the reachable range %2 to %3")
                   .arg(motor_.MiddleStep)
                   .arg(MotorScroll->minimum())
                   .arg(MotorScroll->maximum()));
        return;
    }
    StepLabel->setNum(motor_.TotalSteps);
}

void Cam::CmdAutoTmr_Click() {
    CmdAutoTmr->setText(sweep_.Toggle() ? "Auto timer off" : "Auto timer on");
}

void Cam::mnushow_Click() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    if (TrayIcon != nullptr) TrayIcon->hide();
    show();
    activateWindow();
}

void Cam::mnuExit_Click() {
    close();
    QApplication::quit();
}

// Minimising hides the window in the tray, when there is one; without a tray the
// window stays in the task bar, so that it can always be brought back.
void Cam::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || TrayIcon == nullptr) {
        return;
    }
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        Notice("No system tray: Tarvik stays minimised in the task bar");
        return;
    }
    TrayIcon->show();
    QTimer::singleShot(0, this, [this] { hide(); });
}

void Cam::mouseDoubleClickEvent(QMouseEvent* event) {
    if (customPointer_) {
        unsetCursor();
    } else {
        setCursor(TarvikPointer());
    }
    customPointer_ = !customPointer_;
    event->accept();
}

// Closing the window ends the program, also when it was hidden in the tray.
void Cam::closeEvent(QCloseEvent* event) {
    Shutdown();
    event->accept();
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}

void Cam::Shutdown() {
    if (shutDown_ || !loaded_) return;
    shutDown_ = true;
    TimerScroll.stop();
    AutoTmr.stop();
    SaveAndSwitchOff();
    if (TrayIcon != nullptr) TrayIcon->hide();
    hotKeys_->RemoveHotKeys();
    QAbstractEventDispatcher::instance()->removeNativeEventFilter(windowProc_.get());
}

void Cam::SaveAndSwitchOff() {
    if (switchedOff_ || !loaded_) return;
    switchedOff_ = true;
    TmrStepServer.SetEnabled(false);
    SavePosition();
    motor_.SwitchCoilsOff();
}

void Cam::Notice(const QString& text, const QString& key) {
    if (!key.isEmpty()) ClearNotice(key);
    notices_.prepend({key, text});
    std::fprintf(stderr, "tarvik: %s\n", text.toLocal8Bit().constData());
    ShowNotices();
}

void Cam::ClearNotice(const QString& key) {
    const auto before = notices_.size();
    notices_.removeIf([&key](const auto& notice) { return notice.first == key; });
    if (notices_.size() != before) ShowNotices();
}

// Newest first, and the strip at the bottom grows until the newest one is readable whole.
void Cam::ShowNotices() {
    const QString text = Notices();
    NoticeLabel->setText(text);
    NoticeLabel->setToolTip(text);
    const int newest = notices_.isEmpty()
                           ? 0
                           : NoticeLabel->fontMetrics()
                                 .boundingRect(QRect(0, 0, NoticeLabel->width(), 1000),
                                               Qt::TextWordWrap, notices_.front().second)
                                 .height();
    NoticeLabel->resize(NoticeLabel->width(), std::max(28, newest + 2));
    NoticeLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setFixedHeight(NoticeLabel->geometry().bottom() + 3);
}

QString Cam::Notices() const {
    QStringList texts;
    for (const auto& notice : notices_) texts << notice.second;
    return texts.join("\n");
}

}  // namespace tarvik
