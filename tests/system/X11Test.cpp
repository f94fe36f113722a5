// Tarvik on a real X server: system-wide hot keys, the tray icon, minimising.
#include <gtest/gtest.h>

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
    bool KeysReported(TarvikProcess& tarvik, const std::string& text) {
        return XSession::WaitFor(
            [&] {
                const std::string errors = tarvik.Stderr();
                return errors.find("Hot key Alt+Z: " + text) != std::string::npos &&
                       errors.find("Hot key Alt+X: " + text) != std::string::npos;
            },
            5000);
    }

    XSession x;
};

TEST_F(X11Test, HotKeysTurnTheMotorWhileAnotherProgramHasTheFocus) {
    TarvikProcess tarvik;
    ASSERT_TRUE(Launch(tarvik)) << tarvik.Stderr();
    const QString other = FocusOtherWindow();
    ASSERT_FALSE(other.isEmpty());
    ASSERT_EQ(x.Run("xdotool", {"getactivewindow"}), other);

    x.Run("xdotool", {"key", "alt+x"});
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    x.Run("xdotool", {"key", "alt+z"});
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "0\r\n"));
    x.Run("xdotool", {"key", "alt+z"});
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "-50\r\n"));
    // The keys work with Caps Lock on too, and never take the focus.
    x.Run("xdotool", {"key", "Caps_Lock", "alt+x", "Caps_Lock"});
    EXPECT_TRUE(tarvik.WaitForFile("/Config/totalsteps.ini", "0\r\n"));
    EXPECT_EQ(x.Run("xdotool", {"getactivewindow"}), other);
    EXPECT_EQ(tarvik.Stderr().find("Hot key"), std::string::npos) << tarvik.Stderr();
    EXPECT_EQ(tarvik.Stop(SIGTERM), 0);
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
            "tarvik: Hot keys: the desktop offers no global shortcuts portal, so Alt+Z and "
            "Alt+X work only while an X11 window has the focus\n"))
            << tarvik.Stderr();
        EXPECT_TRUE(
            tarvik.WaitForStderr("tarvik: hot keys: X11 key grabs: Alt+Z held, Alt+X held\n"));
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

TEST_F(X11Test, ASecondTarvikIsToldTheKeysAreTakenAndExitGivesThemBack) {
    TarvikProcess first;
    ASSERT_TRUE(Launch(first)) << first.Stderr();
    TarvikProcess second;
    ASSERT_TRUE(Launch(second)) << second.Stderr();
    EXPECT_TRUE(KeysReported(second, "already taken by another program")) << second.Stderr();

    // The second one runs on without the keys: the first still has them.
    x.Run("xdotool", {"key", "alt+x"});
    EXPECT_TRUE(first.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    EXPECT_EQ(second.dir.Read("/Config/totalsteps.ini"), "0\r\n");
    EXPECT_EQ(second.Fetch("/turn/left"), "page Left\r\n");

    EXPECT_EQ(first.Stop(SIGTERM), 0);
    EXPECT_EQ(second.Stop(SIGTERM), 0);
    TarvikProcess third;
    ASSERT_TRUE(Launch(third)) << third.Stderr();
    x.Run("xdotool", {"key", "alt+x"});
    EXPECT_TRUE(third.WaitForFile("/Config/totalsteps.ini", "50\r\n"));
    EXPECT_EQ(third.Stderr().find("already taken"), std::string::npos) << third.Stderr();
}

TEST_F(X11Test, MinimisingHidesInTheTrayAndClickingTheIconRestores) {
    if (!x.trayReady())
        GTEST_SKIP() << "the private X session's tray host (trayer) did not come up";
    TarvikProcess tarvik;
    ASSERT_TRUE(Launch(tarvik)) << tarvik.Stderr();
    const QString window = x.VisibleWindows(kWindowName).front();
    x.Run("xdotool", {"windowminimize", window});
    ASSERT_TRUE(XSession::WaitFor([&] { return x.VisibleWindows(kWindowName).isEmpty(); }));
    // What stays visible of Tarvik is its icon in the tray.
    QString icon;
    QStringList shown;
    ASSERT_TRUE(XSession::WaitFor([&] {
        shown = x.VisibleWindowsOfClass("tarvik");
        if (shown.size() == 1) icon = shown.front();
        return shown.size() == 1;
    })) << "no tray icon; visible: "
        << shown.join(" ").toStdString() << "\n"
        << tarvik.Stderr();

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
    tarvik.dir.WriteConfig(
        {{"/Config/Port.ini", std::to_string(tarvik.port)}, {"/Config/totalsteps.ini", "33"}});
    ASSERT_TRUE(Launch(tarvik)) << tarvik.Stderr();
    x.Run("xdotool", {"windowminimize", x.VisibleWindows(kWindowName).front()});
    QString icon;
    ASSERT_TRUE(XSession::WaitFor([&] {
        const QStringList shown = x.VisibleWindowsOfClass("tarvik");
        if (shown.size() == 1) icon = shown.front();
        return shown.size() == 1;
    }));
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

// Without a display Qt ends the process at once; the position must be on disk anyway (it is
// written again even though it did not change, which shows the shutdown ran).
TEST_F(X11Test, WhenTheXServerEndsThePositionIsSavedBeforeTarvikEnds) {
    TarvikProcess tarvik;
    tarvik.dir.WriteConfig(
        {{"/Config/Port.ini", std::to_string(tarvik.port)}, {"/Config/totalsteps.ini", "7"}});
    ASSERT_TRUE(Launch(tarvik)) << tarvik.Stderr();
    x.KillServer();
    ASSERT_TRUE(tarvik.process.waitForFinished(20000));
    EXPECT_EQ(tarvik.dir.Read("/Config/totalsteps.ini"), "7\r\n") << tarvik.Stderr();
}

}  // namespace
}  // namespace tarvik
