// The window, offscreen: its controls wired to the station.
#include "Cam.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTest>

#include "Fakes.h"
#include "TcpClient.h"
#include "TempDir.h"
#include "WebFakes.h"

namespace tarvik {
namespace {

using test::ServeUntil;

class CamTest : public ::testing::Test {
  protected:
    void Start(const std::map<std::string, std::string>& overrides = {}) {
        dir.WriteConfig(overrides);
        dir.WritePages();
        station = std::make_unique<Station>(
            dir.path(),
            [](const DriveSettings&) { return std::make_unique<test::RecordingCoils>(); }, keys,
            clock);
        cam = std::make_unique<Cam>(*station);
        const auto failure = station->Start();
        ASSERT_FALSE(failure) << *failure;
        cam->Attach();
        cam->show();
    }
    template <typename T>
    T* Control(const char* name) {
        T* control = cam->findChild<T*>(name);
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    void Click(const char* name) { QTest::mouseClick(Control<QPushButton>(name), Qt::LeftButton); }
    bool Shows(const char* label, const QString& text) {
        return ServeUntil([&] { return Control<QLabel>(label)->text() == text; });
    }

    test::TempDir dir;
    NoHotKeys keys{"no display here"};
    test::FakeClock clock;
    std::unique_ptr<Station> station;
    std::unique_ptr<Cam> cam;
};

TEST_F(CamTest, TheWindowShowsTheConfigurationAndFollowsTheMotor) {
    Start({{"/Config/totalsteps.ini", "100"}});
    EXPECT_EQ(cam->windowTitle(), "Tarvik v1.0");
    for (QWidget* control : cam->findChildren<QWidget*>()) {
        if (control->objectName().isEmpty()) continue;  // parts of Qt's own widgets
        if (qobject_cast<QAbstractButton*>(control) || qobject_cast<QAbstractSlider*>(control) ||
            qobject_cast<QAbstractItemView*>(control) || qobject_cast<QLineEdit*>(control)) {
            EXPECT_FALSE(control->toolTip().isEmpty()) << control->objectName().toStdString();
        }
    }
    EXPECT_EQ(Control<QPushButton>("Command1")->text(), "Turn 50 steps &left");
    EXPECT_EQ(Control<QPushButton>("Command2")->text(), "Turn 50 steps &right");
    EXPECT_EQ(Control<QLineEdit>("StepText")->text(), "50");
    EXPECT_EQ(Control<QLabel>("Label2")->text().toInt(), station->ListeningPort());
    auto* scroll = Control<QScrollBar>("MotorScroll");
    EXPECT_EQ(scroll->minimum(), -200);
    EXPECT_EQ(scroll->maximum(), 200);
    EXPECT_TRUE(Shows("StepLabel", "100"));
    Click("Command1");
    EXPECT_TRUE(Shows("StepLabel", "50"));
    EXPECT_TRUE(ServeUntil([&] { return scroll->value() == 50; }));
    // Each lamp shows its coil: red when energised, dark red otherwise.
    auto* lamps = Control<QWidget>("CoilLamps");
    const QImage shown = lamps->grab().toImage();
    const int size = lamps->height() - 4;
    for (int bit = 0; bit < 4; ++bit) {
        const QColor lamp = shown.pixelColor(2 + (3 - bit) * (size + 4) + size / 2, 2 + size / 2);
        EXPECT_EQ(lamp.red(), (station->CoilPattern() >> bit) & 1 ? 230 : 70) << bit;
    }
    scroll->setValue(130);  // the operator drags the bar; the motor follows
    EXPECT_TRUE(Shows("StepLabel", "130"));
    EXPECT_TRUE(Shows("ScrollLabel", "130"));
}

TEST_F(CamTest, ChangeStepsUpdatesTheCaptionsOrSaysWhyNot) {
    Start();
    auto* box = Control<QLineEdit>("StepText");
    box->setText("25");
    Click("ChangBigstep");
    EXPECT_EQ(Control<QPushButton>("Command1")->text(), "Turn 25 steps &left");
    EXPECT_EQ(station->BigStep(), 25);
    box->setText("abc");
    Click("ChangBigstep");
    EXPECT_EQ(station->BigStep(), 25);
    EXPECT_EQ(Control<QLabel>("StepNote")->text(), "Not changed");
    EXPECT_TRUE(cam->NoticeText().startsWith("Not changed: enter a whole number"));
}

TEST_F(CamTest, TheKeyboardReachesTheScrollBarAndTheArrowsTurnTheCamera) {
    Start({{"/Config/Tilt/Middlestep.ini", "0"},
           {"/Config/Tilt/MaxStep.ini", "9"},
           {"/Config/Tilt/MinStep.ini", "-9"},
           {"/Config/Tilt/totalsteps.ini", "0"},
           {"/Config/Tilt/StepCount.ini", "1"},
           {"/Config/Tilt/BigStep.ini", "3"}});
    cam->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(cam.get()));
    Control<QListView>("List1")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), Control<QScrollBar>("MotorScroll"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    EXPECT_TRUE(Shows("StepLabel", "1"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Control<QListView>("MsgList"));
    // The tilt's bar: the Up key tilts up, and its top end is the highest position.
    auto* tilt = Control<QScrollBar>("TiltScroll");
    tilt->setFocus();
    QTest::keyClick(tilt, Qt::Key_Up);
    EXPECT_TRUE(ServeUntil([&] { return station->Position(Axis::Tilt) == 1; }));
    EXPECT_TRUE(tilt->invertedAppearance());
}

TEST_F(CamTest, TheNewestNoticeIsShownFirstAndWholeBelowTheHotKeyLine) {
    Start({{"/Config/Middlestep.ini", "900"}});  // two hot key notices already
    EXPECT_TRUE(Shows("HotKeyLabel", "Hot keys: none: Alt+Z not held, Alt+X not held"));
    Click("CmdCenter");
    auto* notices = Control<QLabel>("NoticeLabel");
    const QString newest =
        "Center refused: the middle 900 lies outside the reachable range -200 "
        "to 200";
    EXPECT_TRUE(notices->text().startsWith(newest + "\n")) << notices->text().toStdString();
    const QRect needed = notices->fontMetrics().boundingRect(QRect(0, 0, notices->width(), 1000),
                                                             Qt::TextWordWrap, newest);
    EXPECT_GE(notices->height(), needed.height());
    EXPECT_LE(notices->geometry().bottom(), cam->height());
}

TEST_F(CamTest, PointerToggleAndSweepButton) {
    Start();
    QTest::mouseDClick(cam.get(), Qt::LeftButton, {}, QPoint(300, 330));
    EXPECT_EQ(cam->cursor().shape(), Qt::BitmapCursor);
    QTest::mouseDClick(cam.get(), Qt::LeftButton, {}, QPoint(300, 330));
    EXPECT_EQ(cam->cursor().shape(), Qt::ArrowCursor);
    Click("CmdAutoTmr");
    EXPECT_EQ(Control<QPushButton>("CmdAutoTmr")->text(), "Auto timer off");
    Click("CmdAutoTmr");
    EXPECT_EQ(Control<QPushButton>("CmdAutoTmr")->text(), "Auto timer on");
}

}  // namespace
}  // namespace tarvik
