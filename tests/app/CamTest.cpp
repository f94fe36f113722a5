// The window, offscreen: its controls wired to the station.
#include "Cam.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
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
using test::TcpClient;

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

// Every caption has room on both sides, every list its heading, the lamps words a screen
// reader can say, and no tooltip a line wider than about 80 characters.
TEST_F(CamTest, TheWindowExplainsItself) {
    const std::uint16_t port = test::FreeTcpPort();
    Start({{"/Config/Tilt/Middlestep.ini", "0"},
           {"/Config/Tilt/MaxStep.ini", "9"},
           {"/Config/Tilt/MinStep.ini", "-9"},
           {"/Config/Tilt/totalsteps.ini", "0"},
           {"/Config/Tilt/StepCount.ini", "1"},
           {"/Config/Tilt/BigStep.ini", "3"},
           {"/Config/Onvif.ini", "port = " + std::to_string(port) + "\ndiscovery = off\n"}});
    for (QPushButton* button : cam->findChildren<QPushButton*>()) {
        const QString caption = button->text().remove('&');
        EXPECT_LE(button->fontMetrics().horizontalAdvance(caption) + 10, button->width())
            << caption.toStdString();
    }
    for (QWidget* control : cam->findChildren<QWidget*>()) {
        for (const QString& line : control->toolTip().split('\n')) {
            EXPECT_LE(line.size(), 80) << line.toStdString();
        }
    }
    EXPECT_EQ(Control<QLabel>("RequestHeading")->buddy(), Control<QListView>("List1"));
    EXPECT_EQ(Control<QLabel>("ChatHeading")->text(), "Chat board");
    EXPECT_NE(Control<QLabel>("RequestHeading")
                  ->text()
                  .indexOf(":" + QString::number(station->ListeningPort()) + "/"),
              -1);
    EXPECT_EQ(Control<QWidget>("CoilLamps")->accessibleName(), "Pan coils D0-D3: D2 D3 on");
    EXPECT_EQ(Control<QWidget>("TiltLamps")->accessibleName(), "Tilt coils D4-D7: D6 D7 on");
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

// The presets box and ONVIF share one list: what is saved on one side is there on the other
// at once, a name saved again is replaced, Go turns there and Remove removes it everywhere.
TEST_F(CamTest, PresetsSavedInTheWindowAreOnvifsAndTheOtherWayRound) {
    const std::uint16_t port = test::FreeTcpPort();
    Start({{"/Config/Onvif.ini", "port = " + std::to_string(port) + "\ndiscovery = off\n"},
           {"/Config/Presets.ini", ""}});
    const auto onvif = [&](const std::string& operation, const std::string& inside = "") {
        const std::string body =
            "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body><" +
            operation +
            " xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"><ProfileToken>profile_1"
            "</ProfileToken>" +
            inside + "</" + operation + "></s:Body></s:Envelope>";
        return test::WhileServing([&] {
            TcpClient client(port);
            client.Send(
                "POST /onvif/ptz_service HTTP/1.1\r\nConnection: close\r\n"
                "Content-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
            return client.ReadAll();
        });
    };
    const auto turnRightAndWait = [&] {
        const int goal = station->Position() + station->BigStep();
        Click("Command2");
        return Shows("StepLabel", QString::number(goal));
    };
    auto* list = Control<QListWidget>("PresetList");
    auto* name = Control<QLineEdit>("PresetName");
    const int home = station->Position();
    name->setText("home");
    Click("PresetSave");
    ASSERT_EQ(list->count(), 1);
    EXPECT_NE(onvif("GetPresets").find("<tt:Name>home</tt:Name>"), std::string::npos);
    ASSERT_TRUE(turnRightAndWait());
    const int gate = station->Position();
    onvif("SetPreset", "<PresetName>Gate</PresetName>");
    ASSERT_TRUE(ServeUntil([&] { return list->count() == 2; }));
    EXPECT_EQ(list->item(1)->text(), "Gate");
    list->setCurrentRow(0);
    EXPECT_EQ(name->text(), "home");
    Click("PresetGo");
    EXPECT_TRUE(Shows("StepLabel", QString::number(home)));
    ASSERT_TRUE(turnRightAndWait());
    Click("PresetSave");  // over the chosen one, by its name
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(dir.Read("/Config/Presets.ini"),
              "1 " + std::to_string(gate) + " 0 home\r\n2 " + std::to_string(gate) + " 0 Gate\r\n");
    list->setCurrentRow(1);
    Click("PresetRemove");
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(onvif("GetPresets").find("Gate"), std::string::npos);
    name->setText("  ");
    Click("PresetSave");
    EXPECT_EQ(Control<QLabel>("PresetNote")->text(), "Not saved");
    EXPECT_EQ(list->count(), 1);
}

}  // namespace
}  // namespace tarvik
