// The desktop portal backend against a fake portal on a private session bus: binding, a
// refused or partial bind, presses, a changed trigger, an absent portal, and the station
// turning the camera on a press.
#include "PortalHotKeys.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusInterface>
#include <QDBusReply>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <cstdio>

#include "Fakes.h"
#include "Station.h"
#include "TempDir.h"
#include "WebFakes.h"

namespace tarvik {
namespace {

using Kind = ShortcutState::Kind;

class PortalHotKeysTest : public ::testing::Test {
  protected:
    ~PortalHotKeysTest() override {
        keys.Release();
        portal.kill();
        portal.waitForFinished();
    }
    void StartPortal(const char* mode) {
        // Debian's interpreter, which has the D-Bus bindings, whatever else is on the PATH.
        portal.start("/usr/bin/python3", {FAKE_PORTAL, mode});
        ASSERT_TRUE(portal.waitForReadyRead(30000) && portal.readLine().trimmed() == "ready")
            << portal.readAllStandardError().toStdString();
    }
    std::vector<ShortcutState> Register() {
        return keys.Register([this](Shortcut s) { pressed.push_back(s); },
                             [this](const std::vector<ShortcutState>& s) { reports.push_back(s); });
    }
    bool ReportsReach(std::size_t count) {
        return QTest::qWaitFor([&] { return reports.size() >= count; }, 30000);
    }
    QStringList Calls() {
        const QDBusReply<QStringList> calls = Control().call("Calls");
        return calls.value();
    }
    QString Session() {
        for (const QString& call : Calls()) {
            if (call.startsWith("session ")) return call.mid(8);
        }
        return {};
    }
    QDBusInterface Control() {
        return QDBusInterface("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                              "org.tarvik.FakePortal");
    }
    void Press(const QString& session, const char* id) {
        Control().call("Activate", QVariant::fromValue(QDBusObjectPath(session)), id);
    }

    QProcess portal;
    PortalHotKeys keys;
    std::vector<Shortcut> pressed;
    std::vector<std::vector<ShortcutState>> reports;
};

TEST_F(PortalHotKeysTest,
       BindsBothKeysWithDescriptionsAndTheAltTriggersAndReportsWhatTheUserChose) {
    StartPortal("bind");
    ASSERT_TRUE(PortalHotKeys::Offered(QDBusConnection::sessionBus()));
    const auto first = Register();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].kind, Kind::Pending);
    ASSERT_TRUE(ReportsReach(1));
    const auto& bound = reports.back();
    EXPECT_EQ(bound[0].kind, Kind::Held);
    EXPECT_EQ(bound[0].trigger, "Ctrl+F5");
    EXPECT_EQ(bound[1].kind, Kind::Held);
    EXPECT_EQ(bound[1].trigger, "Alt+X");
    const QStringList calls = Calls();
    EXPECT_TRUE(calls.contains("bind turn-left Turn the camera left | ALT+z"))
        << calls.join('\n').toStdString();
    EXPECT_TRUE(calls.contains("bind turn-right Turn the camera right | ALT+x"));
}

TEST_F(PortalHotKeysTest, PressesOfThisSessionOnlyTurnAndAChangedTriggerIsReported) {
    StartPortal("bind");
    Register();
    ASSERT_TRUE(ReportsReach(1));
    const QString session = Session();
    Press("/org/freedesktop/portal/desktop/session/1_1/other", "turn-right");
    Press(session, "turn-right");
    Press(session, "turn-left");
    ASSERT_TRUE(QTest::qWaitFor([&] { return pressed.size() >= 2; }, 30000));
    EXPECT_EQ(pressed, (std::vector<Shortcut>{Shortcut::TurnRight, Shortcut::TurnLeft}));

    Control().call("ChangeTrigger", QVariant::fromValue(QDBusObjectPath(session)), "turn-right",
                   "Ctrl+Alt+R");
    ASSERT_TRUE(ReportsReach(2));
    EXPECT_EQ(reports.back()[1].trigger, "Ctrl+Alt+R");
    EXPECT_EQ(reports.back()[0].trigger, "Ctrl+F5");  // not named, so unchanged

    keys.Release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Calls().contains("close " + session); }, 30000));
}

TEST_F(PortalHotKeysTest, ARefusedOrPartialBindLeavesKeysUnheldWithTheReason) {
    StartPortal("refuse");
    Register();
    ASSERT_TRUE(ReportsReach(1));
    for (const ShortcutState& state : reports.back()) {
        EXPECT_EQ(state.kind, Kind::Unavailable);
        EXPECT_EQ(state.detail, "refused at the desktop's prompt");
    }
    keys.Release();
    portal.kill();
    portal.waitForFinished();

    StartPortal("partial");
    reports.clear();
    Register();
    ASSERT_TRUE(ReportsReach(1));
    EXPECT_EQ(reports.back()[0].kind, Kind::Unavailable);
    EXPECT_EQ(reports.back()[0].detail, "not bound by the desktop");
    EXPECT_EQ(reports.back()[1].kind, Kind::Held);
}

TEST_F(PortalHotKeysTest, WithoutAPortalTheKeysAreUnavailableAndSayWhy) {
    EXPECT_FALSE(PortalHotKeys::Offered(QDBusConnection::sessionBus()));
    Register();
    ASSERT_TRUE(ReportsReach(1));
    EXPECT_EQ(reports.back()[0].kind, Kind::Unavailable);
    EXPECT_NE(reports.back()[0].detail.find("org.freedesktop.portal.Desktop"), std::string::npos)
        << reports.back()[0].detail;
}

TEST_F(PortalHotKeysTest, APressThroughThePortalTurnsTheCameraByTheBigStep) {
    StartPortal("bind");
    test::TempDir dir;
    dir.WriteConfig({{"/Config/BigStep.ini", "7"}});
    dir.WritePages();
    test::FakeClock clock;
    Station station(
        dir.path(), [](const DriveSettings&) { return std::make_unique<test::RecordingCoils>(); },
        keys, clock);
    ASSERT_FALSE(station.Start());
    EXPECT_NE(station.HotKeyState().find("pending"), std::string::npos);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return station.HotKeyState() == "desktop portal: Alt+Z held as Ctrl+F5, Alt+X held";
        },
        30000))
        << station.HotKeyState();
    Press(Session(), "turn-right");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return station.Position() == 7 && !station.IsMoving(); }, 30000));
    station.Shutdown();
}

}  // namespace
}  // namespace tarvik

// A private session bus for this process, so that no desktop's portal is ever touched.
int main(int argc, char** argv) {
    FILE* daemon = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    char address[512] = {};
    long pid = 0;
    if (daemon == nullptr || std::fscanf(daemon, "%511s %ld", address, &pid) != 2) {
        std::fprintf(stderr, "cannot start a private dbus-daemon\n");
        return 1;
    }
    ::pclose(daemon);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
    }
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    return status;
}
