// Tarvik on a real X server: system-wide hot keys, the tray icon, minimising.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "FakePortal.h"
#include "TarvikProcess.h"
#include "XSession.h"

namespace tarvik {
namespace {

using test::TarvikProcess;
using test::XSession;

constexpr const char* kWindowName = "^Tarvik v1.0$";

class X11Test : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!x.ok()) GTEST_FAIL() << "Xvfb could not be started";
    }
    bool Launch(TarvikProcess& tarvik) {
        return tarvik.Launch(x.Environment()) &&
               XSession::WaitFor([&] { return !x.VisibleWindows(kWindowName).isEmpty(); });
    }
    // A window of another program, given the focus.
    QString FocusOtherWindow() {
        x.Start("xmessage", {"-name", "other", "another program"});
        QString other;
        XSession::WaitFor([&] {
            const QStringList found = x.VisibleWindows("^other$");
            if (!found.isEmpty()) other = found.front();
            return !other.isEmpty();
        });
        // The window manager may not yet manage the new window: activate until it is active.
        for (int attempt = 0; attempt < 5 && !other.isEmpty(); ++attempt) {
            x.Run("xdotool", {"windowactivate", "--sync", other});
            if (XSession::WaitFor([&] { return x.Run("xdotool", {"getactivewindow"}) == other; },
                                  4000)) {
                break;
            }
        }
        return other;
    }
    // Clicks the tray icon until the condition holds: the tray may pass on a click that
    // comes before the icon's window is ready for it.
    template <typename Condition>
    bool ClickIconUntil(const QString& icon, const char* button, Condition condition) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            x.Run("xdotool", {"mousemove", "--window", icon, "8", "8", "click", button});
            if (XSession::WaitFor(condition, 4000)) return true;
        }
        return false;
    }
    // Minimises the window; what stays visible of Tarvik is then its icon in the tray.
    // Minimises the window until it has gone to the tray: a window manager that has not yet
    // taken the new window in passes on the first request.
    QString MinimiseToTray() {
        QString icon;
        QElapsedTimer asked;
        XSession::WaitFor([&] {
            const QStringList window = x.VisibleWindows(kWindowName);
            if (!window.isEmpty() && (!asked.isValid() || asked.elapsed() > 500)) {
                x.Run("xdotool", {"windowminimize", window.front()});
                asked.start();
            }
            const QStringList shown = x.VisibleWindowsOfClass("tarvik");
            icon = shown.size() == 1 && window.isEmpty() ? shown.front() : QString();
            return !icon.isEmpty();
        });
        return icon;
    }
    // The one line of the hot keys, with both not held and the reason.
    bool KeysReported(TarvikProcess& tarvik, const std::string& text) {
        return XSession::WaitFor(
            [&] {
                return tarvik.Stderr().find("Alt+Z not held, Alt+X not held (" + text + ")") !=
                       std::string::npos;
            },
            5000);
    }

    XSession x;
};

// The keys work while another program has the focus, with Caps Lock on too, and never take
// the focus; a second Tarvik is told they are taken and runs on without them.
TEST_F(X11Test, HotKeysTurnTheMotorFromAnyWindowAndASecondTarvikIsToldTheyAreTaken) {
    TarvikProcess tarvik;
    ASSERT_TRUE(Launch(tarvik)) << tarvik.Stderr();
    const QString other = FocusOtherWindow();
    ASSERT_FALSE(other.isEmpty());
    ASSERT_EQ(x.Run("xdotool", {"getactivewindow"}), other);
    for (const auto& [keys, saved] : {std::pair{QStringList{"alt+x"}, "50\r\n"},
                                      {QStringList{"alt+z"}, "0\r\n"},
                                      {QStringList{"alt+z"}, "-50\r\n"},
                                      {QStringList{"Caps_Lock", "alt+x", "Caps_Lock"}, "0\r\n"}}) {
        x.Run("xdotool", QStringList{"key"} << keys);
        EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", saved)) << saved;
    }
    EXPECT_EQ(x.Run("xdotool", {"getactivewindow"}), other);
    EXPECT_EQ(tarvik.Stderr().find("Hot key"), std::string::npos) << tarvik.Stderr();

    TarvikProcess second;
    ASSERT_TRUE(Launch(second)) << second.Stderr();
    EXPECT_TRUE(KeysReported(second, "already taken by another program")) << second.Stderr();
    x.Run("xdotool", {"key", "alt+x"});
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    EXPECT_EQ(second.dir.Read("/Config/totalsteps.ini"), "0\r\n");
    EXPECT_EQ(second.Fetch("/turn/left"), "page Left\r\n");
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
    EXPECT_EQ(second.Stop(SIGTERM), 0);
}

// On a Wayland session Tarvik asks the desktop portal for the keys; without a portal, it
// says that its grabs through XWayland reach only X11 windows.
TEST_F(X11Test, OnAWaylandSessionThePortalHoldsTheKeysOrTheLimitIsSaid) {
    test::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    QProcessEnvironment env = x.Environment();
    env.insert("XDG_SESSION_TYPE", "wayland");
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(bus.address()));
    {
        TarvikProcess tarvik;
        ASSERT_TRUE(tarvik.Launch(env)) << tarvik.Stderr();
        EXPECT_TRUE(tarvik.WaitForStderr(
            "tarvik: hot keys: X11 key grabs: Alt+Z held, Alt+X held (the desktop offers no "
            "global shortcuts portal, so Alt+Z and Alt+X work only while an X11 window has the "
            "focus)\n"))
            << tarvik.Stderr();
        EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
    }
    test::FakePortal portal(bus.address(), "bind");
    ASSERT_TRUE(portal.ready()) << portal.Errors();
    TarvikProcess tarvik;
    ASSERT_TRUE(tarvik.Launch(env)) << tarvik.Stderr();
    EXPECT_TRUE(tarvik.WaitForStderr(
        "tarvik: hot keys: desktop portal: Alt+Z held as Ctrl+F5, Alt+X held\n"))
        << tarvik.Stderr();
    portal.Press(portal.Session(), "turn-right");
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
}

TEST_F(X11Test, MinimisingHidesInTheTrayAndClickingTheIconRestores) {
    if (!x.trayReady())
        GTEST_SKIP() << "the private X session's tray host (trayer) did not come up";
    TarvikProcess tarvik;
    ASSERT_TRUE(Launch(tarvik)) << tarvik.Stderr();
    const QString icon = MinimiseToTray();
    ASSERT_FALSE(icon.isEmpty()) << "no tray icon; " << tarvik.Stderr();

    // Hidden, the motor, the keys and the server go on.
    x.Run("xdotool", {"key", "alt+x"});
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    EXPECT_EQ(tarvik.Fetch("/turn/left"), "page Left\r\n");

    // One click restores, as trays of the StatusNotifierItem kind report clicks.
    EXPECT_TRUE(
        ClickIconUntil(icon, "1", [&] { return !x.VisibleWindows(kWindowName).isEmpty(); }));
    EXPECT_TRUE(
        XSession::WaitFor([&] { return !x.VisibleWindowsOfClass("tarvik").contains(icon); }));
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
}

TEST_F(X11Test, ExitFromTheTrayMenuShutsDownLikeClosing) {
    if (!x.trayReady())
        GTEST_SKIP() << "the private X session's tray host (trayer) did not come up";
    TarvikProcess tarvik;
    tarvik.dir.WriteConfig({{"/Config/totalsteps.ini", "33"}});
    ASSERT_TRUE(Launch(tarvik)) << tarvik.Stderr();
    const QString icon = MinimiseToTray();
    ASSERT_FALSE(icon.isEmpty()) << "no tray icon; " << tarvik.Stderr();
    ASSERT_TRUE(ClickIconUntil(icon, "3", [&] {
        return x.VisibleWindowsOfClass("tarvik").size() == 2;
    })) << "no menu";
    x.Run("xdotool", {"key", "e"});
    ASSERT_TRUE(tarvik.process.waitForFinished(20000));
    EXPECT_EQ(tarvik.process.exitCode(), 0);
    EXPECT_EQ(tarvik.dir.Read("/Config/totalsteps.ini"), "33\r\n");
    // The keys are free again.
    TarvikProcess next;
    ASSERT_TRUE(Launch(next)) << next.Stderr();
    x.Run("xdotool", {"key", "alt+z"});
    EXPECT_TRUE(next.WaitForFile("/Config/totalsteps.ini", "-50\r\n"));
}

// With Config/Tilt a second motor tilts from the web, from its window buttons and with Alt+Q
// and Alt+A, and its position is saved in its own folder.
TEST_F(X11Test, ATiltMotorMovesFromTheWebTheWindowAndItsHotKeys) {
    TarvikProcess tarvik;
    tarvik.dir.WriteConfig({{"/Config/Tilt/Middlestep.ini", "0"},
                            {"/Config/Tilt/MaxStep.ini", "100"},
                            {"/Config/Tilt/MinStep.ini", "-100"},
                            {"/Config/Tilt/totalsteps.ini", "0"},
                            {"/Config/Tilt/StepCount.ini", "1"},
                            {"/Config/Tilt/BigStep.ini", "20"}});
    tarvik.dir.Write("/html/Up.html", "page Up");
    ASSERT_TRUE(Launch(tarvik)) << tarvik.Stderr();
    EXPECT_EQ(tarvik.Fetch("/turn/up"), "page Up\r\n");
    EXPECT_TRUE(tarvik.WaitForFile("/Config/Tilt/totalsteps.ini", "20\r\n"));
    // The phase file is written just after the position file.
    EXPECT_TRUE(tarvik.WaitForFile("/Config/Tilt/StepCount.ini", "5\r\n"));
    // The Level button, in the tilt's column of the window.
    const QString window = x.VisibleWindows(kWindowName).front();
    x.Run("xdotool", {"mousemove", "--window", window, "516", "80", "click", "1"});
    EXPECT_TRUE(tarvik.WaitForFile("/Config/Tilt/totalsteps.ini", "0\r\n"));
    x.Run("xdotool", {"key", "alt+a"});
    EXPECT_TRUE(tarvik.WaitForFile("/Config/Tilt/totalsteps.ini", "-20\r\n"));
    EXPECT_EQ(tarvik.dir.Read("/Config/totalsteps.ini"), "0\r\n");  // the pan stayed
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
}

// Without a display Qt ends the process at once; the position must be on disk anyway (it is
// written again even though it did not change, which shows the shutdown ran).
TEST_F(X11Test, WhenTheXServerEndsThePositionIsSavedBeforeTarvikEnds) {
    TarvikProcess tarvik;
    tarvik.dir.WriteConfig({{"/Config/totalsteps.ini", "7"}});
    ASSERT_TRUE(Launch(tarvik)) << tarvik.Stderr();
    x.KillServer();
    ASSERT_TRUE(tarvik.process.waitForFinished(20000));
    EXPECT_EQ(tarvik.dir.Read("/Config/totalsteps.ini"), "7\r\n") << tarvik.Stderr();
}

}  // namespace
}  // namespace tarvik
