// The real window, offscreen: its controls wired to the engine, start-up and shutdown.
#include "Cam.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTest>

#include "Fakes.h"
#include "TcpClient.h"
#include "TempDir.h"

namespace tarvik {
namespace {

using test::PortWrite;
using test::ServeUntil;
using test::TempDir;

class CamTest : public ::testing::Test {
  protected:
    void Start(const std::map<std::string, std::string>& overrides = {}) {
        dir.WriteConfig(overrides);
        dir.WritePages();
        cam = std::make_unique<Cam>(dir.path(), port);
        const auto failure = cam->Form_Load();
        ASSERT_FALSE(failure) << failure->toStdString();
        cam->show();
    }
    template <typename T>
    T* Control(const char* name) {
        T* control = cam->findChild<T*>(name);
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    static QString Row(QListView* list, int row) {
        return list->model()->index(row, 0).data().toString();
    }
    void Click(const char* name) { QTest::mouseClick(Control<QPushButton>(name), Qt::LeftButton); }
    QString Text(const char* name) { return Control<QLabel>(name)->text(); }
    bool WaitIdle() {
        return ServeUntil([this] { return !cam->motor().IsMoving(); });
    }
    // Lets the 20 ms follow timer act on the scroll bar and every move it starts finish.
    bool WaitFollowed(int value) {
        return ServeUntil(
            [this, value] { return !cam->motor().IsMoving() && cam->motor().TotalSteps == value; });
    }

    TempDir dir;
    test::RecordingPort port;
    std::unique_ptr<Cam> cam;
};

TEST_F(CamTest, StartUpShowsTheConfiguration) {
    Start({{"/Config/StepCount.ini", "3"}});
    EXPECT_EQ(cam->windowTitle(), "Tarvik v1.0");
    EXPECT_EQ(Control<QPushButton>("Command1")->text(), "Turn 50 steps &left");
    EXPECT_EQ(Control<QPushButton>("Command2")->text(), "Turn 50 steps &right");
    EXPECT_EQ(Control<QLineEdit>("StepText")->text(), "50");
    EXPECT_EQ(Text("StepLabel"), "0");
    EXPECT_EQ(Text("Label2").toInt(), cam->webServer().LocalPort());
    EXPECT_NE(cam->webServer().LocalPort(), 0);
    auto* scroll = Control<QScrollBar>("MotorScroll");
    EXPECT_EQ(scroll->minimum(), -200);
    EXPECT_EQ(scroll->maximum(), 200);
    EXPECT_EQ(port.writes, (std::vector<PortWrite>{{888, 6}}));  // coils hold phase 3
}

TEST_F(CamTest, AStoredPositionBeyondTheRightEndIsTakenBackToIt) {
    Start({{"/Config/totalsteps.ini", "500"}, {"/Config/MaxStep.ini", "300"}});
    EXPECT_EQ(Text("StepLabel"), "300");
    EXPECT_EQ(Control<QScrollBar>("MotorScroll")->maximum(), 300);
    EXPECT_EQ(Control<QScrollBar>("MotorScroll")->value(), 300);
}

TEST_F(CamTest, BigMoveButtonsTurnTheMotorAndTheEndOfAMoveIsSaved) {
    Start();
    Click("Command2");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(cam->motor().TotalSteps, 50);
    EXPECT_EQ(Text("StepLabel"), "50");
    EXPECT_EQ(Control<QScrollBar>("MotorScroll")->value(), 50);
    EXPECT_EQ(port.writes.size(), 51u);  // start-up, then one per tick
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "50\r\n");
    Click("Command1");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(cam->motor().TotalSteps, 0);
}

TEST_F(CamTest, SingleStepsAndReset) {
    Start({{"/Config/Middlestep.ini", "-3"}});
    Click("CmdSingleR");
    ASSERT_TRUE(WaitIdle());
    Click("CmdSingleR");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(cam->motor().TotalSteps, 2);
    Click("CmdSingleL");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(cam->motor().TotalSteps, 1);
    Click("CmdResetCam");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(cam->motor().TotalSteps, -3);
}

TEST_F(CamTest, ClosingSavesThePositionAndSwitchesTheCoilsOffOnce) {
    Start({{"/Config/Lpt.ini", "278"}});
    Click("Command2");
    ASSERT_TRUE(WaitIdle());
    port.writes.clear();
    dir.Write("/Config/totalsteps.ini", "0\r\n");
    cam->close();
    cam->Shutdown();
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "50\r\n");
    EXPECT_EQ(port.writes, (std::vector<PortWrite>{{0x278, 0}, {888, 0}}));
}

TEST_F(CamTest, AMoveInProgressAtCloseIsSavedWhereItStands) {
    Start({{"/Config/BigStep.ini", "30000"}, {"/Config/MaxStep.ini", "32000"}});
    Click("Command2");
    ASSERT_TRUE(ServeUntil([this] { return cam->motor().TotalSteps >= 5; }));
    cam->close();
    const std::int16_t reached = cam->motor().TotalSteps;
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), std::to_string(reached) + "\r\n");
    EXPECT_FALSE(cam->motor().IsMoving());
}

TEST_F(CamTest, ChangeStepsUpdatesCaptionsOrSaysWhyNot) {
    Start();
    auto* box = Control<QLineEdit>("StepText");
    box->setText("25");
    Click("ChangBigstep");
    EXPECT_EQ(Control<QPushButton>("Command1")->text(), "Turn 25 steps &left");
    EXPECT_EQ(Control<QPushButton>("Command2")->text(), "Turn 25 steps &right");
    Click("Command2");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(cam->motor().TotalSteps, 25);
    EXPECT_EQ(dir.Read("/Config/BigStep.ini"), "50\r\n");  // lasts until exit only

    for (const char* bad : {"abc", "-32768", "99999"}) {
        box->setText(bad);
        Click("ChangBigstep");
        EXPECT_EQ(cam->motor().BigStep, 25) << bad;
        EXPECT_EQ(Control<QPushButton>("Command1")->text(), "Turn 25 steps &left");
        EXPECT_FALSE(Text("StepNote").isEmpty());
    }
    box->setText("7");
    Click("ChangBigstep");
    EXPECT_TRUE(Text("StepNote").isEmpty());
}

TEST_F(CamTest, CenterDeclaresTheMiddleOrRefuses) {
    Start({{"/Config/totalsteps.ini", "37"}});
    port.writes.clear();
    Click("CmdCenter");
    EXPECT_EQ(Text("StepLabel"), "0");
    EXPECT_EQ(Control<QScrollBar>("MotorScroll")->value(), 0);
    EXPECT_TRUE(port.writes.empty());
    cam.reset();

    Start({{"/Config/Middlestep.ini", "900"}, {"/Config/totalsteps.ini", "37"}});
    Click("CmdCenter");
    EXPECT_EQ(cam->motor().TotalSteps, 37);
    EXPECT_TRUE(cam->Notices().contains("Center refused"));
}

TEST_F(CamTest, TheMotorFollowsADraggedScrollBar) {
    Start({{"/Config/totalsteps.ini", "100"}});
    ServeUntil([] { return false; }, 200);  // idle first: the follow must wake up again
    auto* scroll = Control<QScrollBar>("MotorScroll");
    scroll->setValue(130);
    ASSERT_TRUE(WaitFollowed(130));
    EXPECT_EQ(scroll->value(), 130);
    EXPECT_TRUE(ServeUntil([&] { return Text("ScrollLabel") == "130"; }));
    scroll->setValue(-150);
    ASSERT_TRUE(WaitFollowed(-150));
}

// After a button move the follow starts from where the motor stands, so the motor goes to
// the dragged value and no further.
TEST_F(CamTest, AScrollBarDraggedAheadDuringAMoveIsFollowedAfterIt) {
    Start();
    Click("Command2");
    ASSERT_TRUE(ServeUntil([this] { return cam->motor().TotalSteps >= 10; }));
    Control<QScrollBar>("MotorScroll")->setValue(120);
    ASSERT_TRUE(WaitFollowed(120));
    EXPECT_EQ(Control<QScrollBar>("MotorScroll")->value(), 120);
    // The label follows on the next 20 ms tick.
    EXPECT_TRUE(ServeUntil([&] { return Text("ScrollLabel") == "120"; }));
}

TEST_F(CamTest, TheKeyboardReachesTheScrollBarAndTurnsTheCamera) {
    Start();
    cam->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(cam.get()));
    Control<QListView>("List1")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), Control<QScrollBar>("MotorScroll"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    ASSERT_EQ(Control<QScrollBar>("MotorScroll")->value(), 1);
    ASSERT_TRUE(WaitFollowed(1));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), Control<QListView>("MsgList"));
}

TEST_F(CamTest, TheNewestNoticeIsShownFirstAndWhole) {
    Start({{"/Config/Middlestep.ini", "900"}});  // two hot key notices already, offscreen
    auto* notices = Control<QLabel>("NoticeLabel");
    const QString longest = "Center refused: the middle 900 lies outside the reachable range";
    Click("CmdCenter");
    EXPECT_TRUE(notices->text().startsWith(longest)) << notices->text().toStdString();
    const QRect needed = notices->fontMetrics().boundingRect(
        QRect(0, 0, notices->width(), 1000), Qt::TextWordWrap, cam->Notices().split('\n')[0]);
    EXPECT_GE(notices->height(), needed.height());
    EXPECT_LE(notices->geometry().bottom(), cam->height());
}

TEST_F(CamTest, CenterDuringAMoveContinuesFromTheNewPosition) {
    Start({{"/Config/totalsteps.ini", "100"}});
    Click("Command2");
    ASSERT_TRUE(ServeUntil([this] { return cam->motor().TotalSteps >= 110; }));
    Click("CmdCenter");
    ASSERT_TRUE(WaitIdle());
    // The move went on from 0 for the ticks it had left.
    EXPECT_GT(cam->motor().TotalSteps, 0);
    EXPECT_LT(cam->motor().TotalSteps, 50);
}

TEST_F(CamTest, TheSweepButtonNamesItsNextAction) {
    Start();
    auto* button = Control<QPushButton>("CmdAutoTmr");
    EXPECT_EQ(button->text(), "Auto timer on");
    Click("CmdAutoTmr");
    EXPECT_EQ(button->text(), "Auto timer off");
    EXPECT_TRUE(cam->sweep().IsOn());
    Click("CmdAutoTmr");
    EXPECT_EQ(button->text(), "Auto timer on");
    EXPECT_FALSE(cam->sweep().IsOn());
    Click("CmdAutoTmr");
    EXPECT_EQ(button->text(), "Auto timer off");
}

TEST_F(CamTest, DoubleClickTogglesThePointer) {
    Start();
    EXPECT_EQ(cam->MousePointer(), 0);
    QTest::mouseDClick(cam.get(), Qt::LeftButton, {}, QPoint(300, 330));
    EXPECT_EQ(cam->MousePointer(), 99);
    EXPECT_EQ(cam->cursor().shape(), Qt::BitmapCursor);
    QTest::mouseDClick(cam.get(), Qt::LeftButton, {}, QPoint(300, 330));
    EXPECT_EQ(cam->MousePointer(), 0);
    EXPECT_EQ(cam->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(CamTest, TheTrayIconCarriesTheTipTheIconAndTheMenu) {
    Start();
    auto* tray = cam->findChild<QSystemTrayIcon*>();
    ASSERT_NE(tray, nullptr);
    EXPECT_EQ(tray->toolTip(), "Ruzuvuzuri");
    EXPECT_FALSE(tray->icon().isNull());
    EXPECT_EQ(tray->icon().pixmap(32, 32).toImage(), cam->windowIcon().pixmap(32, 32).toImage());
    ASSERT_NE(tray->contextMenu(), nullptr);
    QStringList items;
    for (QAction* action : tray->contextMenu()->actions()) items << action->text();
    EXPECT_EQ(items, (QStringList{"&Show", "&Exit"}));
    EXPECT_FALSE(tray->isVisible());
}

TEST_F(CamTest, WithoutATrayMinimisingKeepsTheWindowReachable) {
    Start();
    cam->showMinimized();
    ServeUntil([] { return false; }, 100);
    EXPECT_FALSE(cam->isHidden());
    EXPECT_TRUE(cam->Notices().contains("No system tray"));
}

TEST_F(CamTest, WebRequestsReachTheMotorAndTheLists) {
    Start();
    const std::uint16_t webPort = cam->webServer().LocalPort();
    const std::string reply = test::WhileServing([webPort] {
        test::TcpClient client(webPort);
        client.Send("GET /turn/right HTTP/1.1\r\n\r\n");
        return client.ReadAll();
    });
    EXPECT_EQ(reply, "page Right\r\n");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(cam->motor().TotalSteps, 50);
    auto* list1 = Control<QListView>("List1");
    ASSERT_TRUE(ServeUntil([list1] { return list1->model()->rowCount() == 1; }));
    EXPECT_TRUE(Row(list1, 0).endsWith("] 127.0.0.1 /turn/right"));

    test::WhileServing([webPort] {
        test::TcpClient client(webPort);
        client.Send("GET /chat?gr%C3%BC%C3%9Fe HTTP/1.1\r\n\r\n");
        return client.ReadAll();
    });
    auto* msgList = Control<QListView>("MsgList");
    ASSERT_TRUE(ServeUntil([msgList] { return msgList->model()->rowCount() == 1; }));
    EXPECT_TRUE(Row(msgList, 0).endsWith(" 127.0.0.1 grüße"));
    EXPECT_EQ(list1->model()->rowCount(), 1);
}

TEST_F(CamTest, AStartUpFailureChangesNoFile) {
    dir.WriteConfig({{"/Config/BigStep.ini", "many"}, {"/Config/totalsteps.ini", "12"}});
    Cam failing(dir.path(), port);
    const auto failure = failing.Form_Load();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->toStdString(),
              "\"Config/BigStep.ini\" holds \"many\", expected a whole number "
              "from -32767 to 32767");
    failing.close();
    EXPECT_EQ(dir.Read("/Config/totalsteps.ini"), "12");
    EXPECT_TRUE(port.writes.empty() || port.writes.back().value != 0);
}

// The coils were energised before the listener failed: they must not stay so.
TEST_F(CamTest, APortInUseStopsStartUpNamingTheSocketErrorWithTheCoilsOff) {
    const std::uint16_t taken = test::FreePort();
    const int blocker = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(taken);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    dir.WriteConfig({{"/Config/Port.ini", std::to_string(taken)}, {"/Config/Lpt.ini", "278"}});
    {
        Cam failing(dir.path(), port);
        const auto failure = failing.Form_Load();
        ASSERT_TRUE(failure);
        EXPECT_TRUE(failure->contains("Cannot listen on TCP port")) << failure->toStdString();
        EXPECT_EQ(port.writes, (std::vector<PortWrite>{{0x278, 12}, {0x278, 0}, {888, 0}}));
    }
    ::close(blocker);
    dir.WriteConfig({{"/Config/Port.ini", "70000"}});
    Cam outOfRange(dir.path(), port);
    EXPECT_TRUE(outOfRange.Form_Load()->contains("Config/Port.ini"));
}

}  // namespace
}  // namespace tarvik

namespace tarvik {
namespace {

// The view sees exactly the list's lines after a flush, and sensible rows before it,
// whatever came in between.
TEST(LineListModel, CatchesUpWithTheListInOneFlush) {
    LineList lines;
    LineListModel model(lines);
    lines.SetView(&model);
    int next = 0;
    for (int burst : {3, 1, 7, 0, 12, 2}) {
        for (int i = 0; i < burst; ++i) {
            lines.InsertTop("line " + std::to_string(next++));
            lines.TrimTo(5);
            for (int row = 0; row < model.rowCount(); ++row) {
                const QString text = model.index(row, 0).data().toString();
                EXPECT_TRUE(text.isEmpty() || text.startsWith("line ")) << row;
            }
        }
        model.Flush();
        ASSERT_EQ(model.rowCount(), static_cast<int>(lines.Count()));
        for (int row = 0; row < model.rowCount(); ++row) {
            EXPECT_EQ(model.index(row, 0).data().toString().toStdString(), lines.Line(row)) << row;
        }
    }
    lines.SetView(nullptr);
}

}  // namespace
}  // namespace tarvik
