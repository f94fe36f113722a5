#include "Cam.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTimer>

#include "Artwork.h"
#include "CoilIndicators.h"
#include "LineListModel.h"
#include "StepSize.h"

namespace tarvik {
namespace {

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// A tooltip in lines of at most about 80 characters: Qt shows a plain one as one line,
// however wide the screen.
QString Wrapped(const QString& text) {
    constexpr int kWidth = 80;
    QStringList lines;
    for (const QString& paragraph : text.split('\n')) {
        QString line;
        for (const QString& word : paragraph.split(' ', Qt::SkipEmptyParts)) {
            if (!line.isEmpty() && line.size() + 1 + word.size() > kWidth) {
                lines << line;
                line.clear();
            }
            line += (line.isEmpty() ? "" : " ") + word;
        }
        lines << line;
    }
    return lines.join('\n');
}

template <typename Control>
Control* Place(Control* control, const char* name, QRect geometry) {
    control->setObjectName(name);
    control->setGeometry(geometry);
    return control;
}

// A caption keeps at least 5 pixels on each side: a font too wide for the panel's fixed
// buttons is made smaller for that button, down to 6 points.
void FitCaption(QPushButton* button) {
    QFont font = button->parentWidget()->font();
    const QString caption = button->text().remove('&');
    while (font.pointSizeF() > 6 &&
           QFontMetrics(font).horizontalAdvance(caption) + 10 > button->width()) {
        font.setPointSizeF(font.pointSizeF() - 0.25);
    }
    button->setFont(font);
}

QPushButton* Button(QWidget* parent, const char* name, const char* text, QRect geometry) {
    return Place(new QPushButton(text, parent), name, geometry);
}

QLabel* Label(QWidget* parent, const char* name, const char* text, QRect geometry) {
    return Place(new QLabel(text, parent), name, geometry);
}

QGroupBox* Frame(QWidget* parent, const char* name, int y) {
    return Place(new QGroupBox(parent), name, {2, y, 225, 73});
}

}  // namespace

Cam::Cam(Station& station)
    : station_(station), requestLogModel_(station.RequestLog()), chatModel_(station.ChatList()) {
    setObjectName("Cam");
    setWindowTitle("Tarvik v" TARVIK_VERSION);
    setWindowIcon(TarvikIcon());
    setFixedSize(460, 404);
    station_.RequestLog().SetView(&requestLogModel_);
    station_.ChatList().SetView(&chatModel_);
    BuildControls();
    Wire();
    station_.SetView(this);
}

Cam::~Cam() {
    station_.SetView(nullptr);
    station_.RequestLog().SetView(nullptr);
    station_.ChatList().SetView(nullptr);
}

// Fixed positions in pixels; each control's objectName is the name docs/architecture.md maps.
void Cam::BuildControls() {
    QGroupBox* manual = Frame(this, "Frame1", 0);
    singleLeftButton_ = Button(manual, "CmdSingleL", "Turn one step left", {6, 8, 105, 25});
    singleRightButton_ = Button(manual, "CmdSingleR", "Turn one step right", {114, 8, 105, 25});
    bigLeftButton_ = Button(manual, "Command1", "Turn X steps left", {6, 40, 105, 25});
    bigRightButton_ = Button(manual, "Command2", "Turn X steps right", {114, 40, 105, 25});
    QGroupBox* automatic = Frame(this, "Frame2", 75);
    resetButton_ = Button(automatic, "CmdResetCam", "Reset", {6, 8, 105, 25});
    centerButton_ = Button(automatic, "CmdCenter", "Center", {6, 40, 105, 25});
    sweepButton_ = Button(automatic, "CmdAutoTmr", "Auto timer on", {114, 8, 105, 25});
    QGroupBox* status = Frame(this, "Frame3", 150);
    // The fixed positions fit an 8-point font: a larger one would cut the texts.
    QFont panelFont = font();
    panelFont.setPointSizeF(8);
    for (QGroupBox* frame : {manual, automatic, status}) frame->setFont(panelFont);
    Label(status, "Label4", "Motor position:", {6, 6, 102, 18});
    positionLabel_ = Label(status, "StepLabel", "123", {108, 6, 38, 18});
    Label(status, "Label5", "Scrollbar position:", {6, 27, 102, 18});
    scrollValueLabel_ = Label(status, "ScrollLabel", "123", {108, 27, 38, 18});
    Label(status, "Label1", "Incoming port:", {6, 48, 102, 18});
    listeningPortLabel_ = Label(status, "Label2", "8534", {108, 48, 38, 18});
    changeStepButton_ = Button(status, "ChangBigstep", "Change steps", {146, 4, 74, 23});
    stepSizeBox_ = Place(new QLineEdit("6", status), "StepText", {146, 29, 74, 22});
    stepSizeNote_ = Label(status, "StepNote", "", {146, 52, 76, 18});
    requestHeading_ = Label(this, "RequestHeading", "Requests", {234, 3, 223, 18});
    requestLogView_ = Place(new QListView(this), "List1", {232, 22, 225, 198});
    scrollBar_ = Place(new QScrollBar(Qt::Horizontal, this), "MotorScroll", {2, 224, 457, 17});
    QLabel* chatHeading = Label(this, "ChatHeading", "Chat board", {4, 244, 453, 18});
    chatView_ = Place(new QListView(this), "MsgList", {2, 262, 457, 69});
    requestHeading_->setBuddy(requestLogView_);
    chatHeading->setBuddy(chatView_);
    requestHeading_->setOpenExternalLinks(true);
    requestHeading_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    coilLamps_ = Place(new CoilIndicators(this, "Pan", 0), "CoilLamps", {4, 336, 64, 16});
    axes_[IndexOf(Axis::Pan)] = {
        bigLeftButton_,
        bigRightButton_,
        singleLeftButton_,
        singleRightButton_,
        resetButton_,
        positionLabel_,
        scrollBar_,
        coilLamps_,
        [](std::int16_t steps, bool lower) { return Text(BigMoveCaption(steps, lower)); }};
    coilLamps_->setToolTip("Coils D3 D2 D1 D0 as last written");
    coilOutputLabel_ = Label(this, "PortLabel", "", {72, 335, 386, 18});
    hotKeyLabel_ = Label(this, "HotKeyLabel", "", {4, 354, 454, 18});
    noticeLabel_ = Label(this, "NoticeLabel", "", {4, 374, 454, 28});
    noticeLabel_->setWordWrap(true);
    noticeLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    for (QLabel* warning : {stepSizeNote_, noticeLabel_}) warning->setStyleSheet("color: #b00000;");
    // Every line has the same height: without this each change measures all lines again.
    for (QListView* list : {requestLogView_, chatView_}) list->setUniformItemSizes(true);
    requestLogView_->setModel(&requestLogModel_);
    chatView_->setModel(&chatModel_);
    // A scroll bar takes no focus by default; this one is how the keyboard turns the camera.
    scrollBar_->setFocusPolicy(Qt::StrongFocus);
    scrollBar_->setInvertedControls(false);  // the right arrow key turns right
    setTabOrder(requestLogView_, scrollBar_);
    setTabOrder(scrollBar_, chatView_);
    setTabOrder(chatView_, singleLeftButton_);
    DescribeControls();
}

// What each control does, shown when the pointer rests on it; the captions stay as they are.
void Cam::DescribeControls() {
    const std::pair<QWidget*, const char*> tips[] = {
        {singleLeftButton_, "Turn the camera one half-step to the left"},
        {singleRightButton_, "Turn the camera one half-step to the right"},
        {bigLeftButton_, "Turn the camera left by the step size (also Alt+Z from any program)"},
        {bigRightButton_, "Turn the camera right by the step size (also Alt+X from any program)"},
        {resetButton_, "Turn the camera back to the middle position from Middlestep.ini"},
        {centerButton_,
         "Declare where the camera stands now to be the middle: nothing moves, the position "
         "shown becomes the middle"},
        {sweepButton_, "Pan back and forth by itself, one big step every three seconds"},
        {changeStepButton_, "Use the number in the box as the step size until Tarvik exits"},
        {stepSizeBox_, "Half-steps of one big turn, from -32767 to 32767"},
        {positionLabel_, "Where the motor stands, in half-steps"},
        {scrollValueLabel_, "Where the scroll bar stands; the camera follows it"},
        {listeningPortLabel_, "The TCP port of the web server"},
        {scrollBar_, "Drag, click or use the arrow keys: the camera turns to where the bar is"},
        {requestLogView_, "Requests to the web server, newest first"},
        {chatView_, "Chat board messages, newest first"},
        {coilOutputLabel_, "Where the coils are driven, or why they are only simulated"},
        {hotKeyLabel_, "Who holds the hot keys Alt+Z and Alt+X, and as what"},
    };
    for (const auto& [control, tip] : tips) control->setToolTip(Wrapped(tip));
}

void Cam::Wire() {
    const auto on = [this](QPushButton* button, auto action) {
        connect(button, &QPushButton::clicked, this, action);
    };
    WireAxis(Axis::Pan);
    on(centerButton_, [this] { station_.Center(); });
    on(changeStepButton_, [this] { ChangeStepSize(); });
    on(sweepButton_, [this] {
        sweepButton_->setText(station_.ToggleSweep() ? "Auto timer off" : "Auto timer on");
    });
    connect(scrollBar_, &QScrollBar::valueChanged, scrollValueLabel_,
            qOverload<int>(&QLabel::setNum));
}

// The same actions on every axis: a big step or one half-step either way, the way back to
// the middle, and the bar the motor follows.
void Cam::WireAxis(Axis axis) {
    const AxisControls& c = axes_[IndexOf(axis)];
    const auto on = [this](QPushButton* button, auto action) {
        connect(button, &QPushButton::clicked, this, action);
    };
    on(c.bigLower, [this, axis] { station_.BigMove(Direction::Left, axis); });
    on(c.bigHigher, [this, axis] { station_.BigMove(Direction::Right, axis); });
    on(c.singleLower, [this, axis] { station_.SingleStep(Direction::Left, axis); });
    on(c.singleHigher, [this, axis] { station_.SingleStep(Direction::Right, axis); });
    on(c.middle, [this, axis] { station_.ReturnToMiddle(axis); });
    connect(c.bar, &QScrollBar::valueChanged, this,
            [this, axis](int value) { station_.DragScroll(value, axis); });
}

// The tilt motor's column on the right: its buttons, its position and lamps, and a vertical
// bar that follows it as the horizontal one follows the pan.
void Cam::BuildTiltControls() {
    setFixedWidth(kTiltColumn + 135);
    QGroupBox* tilt = Frame(this, "Frame4", 0);
    tilt->setGeometry(kTiltColumn, 0, 112, 246);
    tilt->setFont(bigLeftButton_->parentWidget()->font());
    QPushButton* up = Button(tilt, "CmdTiltUp", "", {4, 8, 104, 25});
    QPushButton* singleUp = Button(tilt, "CmdSingleUp", "Tilt one step up", {4, 38, 104, 25});
    QPushButton* level = Button(tilt, "CmdLevel", "Level", {4, 68, 104, 25});
    QPushButton* singleDown = Button(tilt, "CmdSingleDown", "Tilt one step down", {4, 98, 104, 25});
    QPushButton* down = Button(tilt, "CmdTiltDown", "", {4, 128, 104, 25});
    Label(tilt, "Label6", "Tilt position:", {6, 162, 100, 18});
    QLabel* position = Label(tilt, "TiltLabel", "0", {6, 180, 100, 18});
    auto* lamps = Place(new CoilIndicators(tilt, "Tilt", 4), "TiltLamps", {6, 204, 64, 16});
    auto* bar =
        Place(new QScrollBar(Qt::Vertical, this), "TiltScroll", {kTiltColumn + 115, 4, 17, 238});
    // Up is the tilt's increasing direction: the top end is the highest position, and the
    // Up arrow key tilts up.
    bar->setInvertedAppearance(true);
    bar->setInvertedControls(false);
    bar->setFocusPolicy(Qt::StrongFocus);
    const std::pair<QWidget*, const char*> tips[] = {
        {up, "Tilt the camera up by its step size (also Alt+Q from any program)"},
        {down, "Tilt the camera down by its step size (also Alt+A from any program)"},
        {singleUp, "Tilt the camera one half-step up"},
        {singleDown, "Tilt the camera one half-step down"},
        {level, "Tilt the camera back to its middle position (Tilt/Middlestep.ini)"},
        {position, "Where the tilt motor stands, in half-steps"},
        {lamps, "The tilt's coils D7 D6 D5 D4 as last written"},
        {bar, "Drag, click or use the Up and Down keys: the camera tilts to the bar"},
    };
    for (const auto& [control, tip] : tips) control->setToolTip(Wrapped(tip));
    axes_[IndexOf(Axis::Tilt)] = {down,
                                  up,
                                  singleDown,
                                  singleUp,
                                  level,
                                  position,
                                  bar,
                                  lamps,
                                  [](std::int16_t steps, bool lower) {
                                      return "Tilt " + QString::number(steps) +
                                             (lower ? " steps &down" : " steps &up");
                                  }};
    WireAxis(Axis::Tilt);
    setTabOrder(chatView_, bar);
    for (QWidget* control : tilt->findChildren<QWidget*>()) control->show();
    tilt->show();
    bar->show();
}

// The presets box, right of the rest: the presets ONVIF serves, saved here, gone to and
// removed. Choosing one in the list puts its name in the box, so that Save replaces it.
void Cam::BuildPresetControls() {
    const int left = width();
    setFixedWidth(left + 150);
    auto* box = Place(new QGroupBox("Presets", this), "PresetFrame", {left, 0, 146, 246});
    box->setFont(bigLeftButton_->parentWidget()->font());
    presetList_ = Place(new QListWidget(box), "PresetList", {6, 18, 134, 124});
    presetNameBox_ = Place(new QLineEdit(box), "PresetName", {6, 148, 134, 22});
    presetNameBox_->setPlaceholderText("Name");
    presetNameBox_->setMaxLength(64);
    auto* save = Button(box, "PresetSave", "Save here", {6, 174, 66, 25});
    auto* go = Button(box, "PresetGo", "Go", {74, 174, 66, 25});
    auto* remove = Button(box, "PresetRemove", "Remove", {6, 202, 66, 25});
    presetNote_ = Label(box, "PresetNote", "", {74, 204, 66, 20});
    presetNote_->setStyleSheet("color: #b00000;");
    const std::pair<QWidget*, const char*> tips[] = {
        {presetList_, "The presets, the same ones ONVIF clients (Frigate, an NVR) list and use"},
        {presetNameBox_, "The name to save the camera's position under, such as home"},
        {save, "Save where the camera stands under the name; a preset of that name is replaced"},
        {go, "Turn the camera to the chosen preset"},
        {remove, "Remove the chosen preset"},
    };
    for (const auto& [control, tip] : tips) control->setToolTip(Wrapped(tip));
    connect(save, &QPushButton::clicked, this, [this] { SavePreset(); });
    connect(presetNameBox_, &QLineEdit::returnPressed, this, [this] { SavePreset(); });
    connect(go, &QPushButton::clicked, this, [this] { station_.GoToPreset(ChosenPreset()); });
    connect(presetList_, &QListWidget::itemActivated, this,
            [this] { station_.GoToPreset(ChosenPreset()); });
    connect(remove, &QPushButton::clicked, this, [this] { station_.RemovePreset(ChosenPreset()); });
    connect(presetList_, &QListWidget::currentTextChanged, presetNameBox_, &QLineEdit::setText);
    for (QWidget* control : box->findChildren<QWidget*>()) control->show();
    box->show();
    PresetsChanged();
}

void Cam::SavePreset() {
    const auto refusal = station_.SavePreset(presetNameBox_->text().trimmed().toStdString());
    presetNote_->setText(refusal ? "Not saved" : "");
    presetNote_->setToolTip(refusal ? Wrapped(Text(*refusal)) : "");
}

std::string Cam::ChosenPreset() const {
    const QListWidgetItem* item = presetList_->currentItem();
    return item != nullptr ? item->data(Qt::UserRole).toString().toStdString() : std::string();
}

// The list as the presets stand, the chosen one still chosen.
void Cam::PresetsChanged() {
    if (presetList_ == nullptr) return;
    const std::string chosen = ChosenPreset();
    const QSignalBlocker quiet(presetList_);
    presetList_->clear();
    for (const onvif::Preset& preset : station_.Presets()) {
        auto* item = new QListWidgetItem(Text(preset.name), presetList_);
        item->setData(Qt::UserRole, Text(preset.token));
        if (preset.token == chosen) presetList_->setCurrentItem(item);
    }
}

void Cam::FitCaptions() {
    for (QPushButton* button : findChildren<QPushButton*>()) FitCaption(button);
}

void Cam::Attach() {
    if (station_.HasTilt()) BuildTiltControls();
    if (station_.HasPresets()) BuildPresetControls();
    for (const Axis axis : kAxes) {
        QScrollBar* bar = axes_[IndexOf(axis)].bar;
        if (bar == nullptr) continue;
        ScrollFollow& scroll = station_.Scroll(axis);
        const QSignalBlocker quiet(bar);
        bar->setRange(scroll.Minimum(), scroll.Maximum());
    }
    listeningPortLabel_->setNum(station_.ListeningPort());
    const QString address = Text(station_.WebAddress());
    requestHeading_->setText("Requests to <a href=\"" + address + "\">" + address + "</a>");
    listeningPortLabel_->setToolTip(Wrapped("The TCP port of the web server: " + address));
    coilOutputLabel_->setText(Text(station_.CoilDescription()));
    ShowBigStep();
    MotorChanged();
    NoticesChanged();
    BuildTray();
}

void Cam::BuildTray() {
    trayMenu_ = new QMenu("Popup", this);
    trayMenu_->setObjectName("mnuPopup");
    trayMenu_->addAction("&Show", this, [this] { RestoreFromTray(); })->setObjectName("mnushow");
    trayMenu_
        ->addAction("&Exit", this,
                    [this] {
                        close();
                        QApplication::quit();
                    })
        ->setObjectName("mnuExit");
    trayIcon_ = new QSystemTrayIcon(windowIcon(), this);
    trayIcon_->setToolTip("Ruzuvuzuri");
    trayIcon_->setContextMenu(trayMenu_);
    connect(trayIcon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // Trays of the StatusNotifierItem kind report a click as Trigger.
                if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) {
                    RestoreFromTray();
                }
            });
}

void Cam::ShowBigStep() {
    stepSizeBox_->setText(QString::number(station_.BigStep()));
    for (const Axis axis : kAxes) {
        const AxisControls& c = axes_[IndexOf(axis)];
        if (c.bar == nullptr) continue;
        const std::int16_t steps = station_.BigStep(axis);
        c.bigLower->setText(c.caption(steps, true));
        c.bigHigher->setText(c.caption(steps, false));
    }
    FitCaptions();
}

void Cam::ChangeStepSize() {
    const auto refusal = station_.ChangeStepSize(stepSizeBox_->text().toStdString());
    stepSizeNote_->setText(refusal ? "Not changed" : "");
    stepSizeNote_->setToolTip(refusal ? Wrapped(Text(*refusal)) : "");
    if (!refusal) ShowBigStep();
}

// Mirrors the core's scroll model without taking it for a drag.
void Cam::MotorChanged() {
    for (const Axis axis : kAxes) {
        const AxisControls& c = axes_[IndexOf(axis)];
        if (c.bar == nullptr) continue;
        c.position->setNum(station_.Position(axis));
        const int value = station_.Scroll(axis).Value();
        if (c.bar->value() != value) {
            const QSignalBlocker quiet(c.bar);
            c.bar->setValue(value);
        }
        c.lamps->SetPattern(
            static_cast<std::uint8_t>(station_.CoilPattern() >> InfoOf(axis).firstDataLine));
    }
    scrollValueLabel_->setNum(scrollBar_->value());
}

// Newest first, and the strip at the bottom grows until the newest one is readable whole.
void Cam::NoticesChanged() {
    hotKeyLabel_->setText("Hot keys: " + Text(station_.HotKeyState()));
    const auto notices = station_.Notices();
    const QString text = NoticeText();
    noticeLabel_->setText(text);
    noticeLabel_->setToolTip(Wrapped(text));
    const int newest = notices.empty() ? 0
                                       : noticeLabel_->fontMetrics()
                                             .boundingRect(QRect(0, 0, noticeLabel_->width(), 1000),
                                                           Qt::TextWordWrap, Text(notices.front()))
                                             .height();
    noticeLabel_->resize(noticeLabel_->width(), std::max(28, newest + 2));
    setFixedHeight(noticeLabel_->geometry().bottom() + 3);
}

QString Cam::NoticeText() const {
    QStringList texts;
    for (const std::string& notice : station_.Notices()) texts << Text(notice);
    return texts.join("\n");
}

void Cam::RestoreFromTray() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    if (trayIcon_ != nullptr) trayIcon_->hide();
    show();
    activateWindow();
}

// Minimising hides the window in the tray, when there is one; without a tray the window
// stays in the task bar, so that it can always be brought back.
void Cam::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || trayIcon_ == nullptr) {
        return;
    }
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        const bool gnome = qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains("GNOME");
        station_.Notice(gnome ? "No system tray: Tarvik stays in the window list; the "
                                "AppIndicator extension gives GNOME a tray"
                              : "No system tray: bring Tarvik back from the task bar or the "
                                "window list",
                        "tray");
        return;
    }
    trayIcon_->show();
    QTimer::singleShot(0, this, [this] { hide(); });
}

// A double click on the window switches between the default pointer and Tarvik's own.
void Cam::mouseDoubleClickEvent(QMouseEvent* event) {
    if (testAttribute(Qt::WA_SetCursor)) {
        unsetCursor();
    } else {
        setCursor(TarvikPointer());
    }
    event->accept();
}

// Closing the window ends the program, also when it was hidden in the tray.
void Cam::closeEvent(QCloseEvent* event) {
    station_.Shutdown();
    if (trayIcon_ != nullptr) trayIcon_->hide();
    event->accept();
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}

}  // namespace tarvik
