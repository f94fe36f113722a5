// The desktop portal backend against a fake portal on a private session bus: binding, a
// refused or partial bind, presses, a changed trigger, an absent portal. (A press turning
// the camera is tested on the real binary.)
#include "PortalHotKeys.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <cstdio>

#include "FakePortal.h"

namespace tarvik {
namespace {

using Kind = ShortcutState::Kind;

test::PrivateBus* g_bus = nullptr;

class PortalHotKeysTest : public ::testing::Test {
  protected:
    ~PortalHotKeysTest() override { keys.Release(); }
    void StartPortal(const char* mode) {
        portal.reset();  // the earlier one leaves the bus first
        portal = std::make_unique<test::FakePortal>(g_bus->address(), mode);
        ASSERT_TRUE(portal->ready()) << portal->Errors();
    }
    std::vector<ShortcutState> Register() {
        return keys.Register(
            ShortcutsFor([](Axis axis) { return axis == Axis::Pan; }),
            [this](Shortcut s) { pressed.push_back(s); },
            [this](const std::vector<ShortcutState>& s) { reports.push_back(s); });
    }
    bool ReportsReach(std::size_t count) {
        return QTest::qWaitFor([&] { return reports.size() >= count; }, 30000);
    }

    std::unique_ptr<test::FakePortal> portal;
    PortalHotKeys keys;
    std::vector<Shortcut> pressed;
    std::vector<std::vector<ShortcutState>> reports;
};

TEST_F(PortalHotKeysTest, BindsBothKeysAsAltZAndAltXAndReportsWhatTheUserChose) {
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
    const QStringList calls = portal->Calls();
    EXPECT_TRUE(calls.contains("bind turn-left Turn the camera left | ALT+z"))
        << calls.join('\n').toStdString();
    EXPECT_TRUE(calls.contains("bind turn-right Turn the camera right | ALT+x"));
}

TEST_F(PortalHotKeysTest, PressesOfThisSessionOnlyTurnAndAChangedTriggerIsReported) {
    StartPortal("bind");
    Register();
    ASSERT_TRUE(ReportsReach(1));
    const QString session = portal->Session();
    portal->Press("/org/freedesktop/portal/desktop/session/1_1/other", "turn-right");
    portal->Press(session, "turn-right");
    portal->Press(session, "turn-left");
    ASSERT_TRUE(QTest::qWaitFor([&] { return pressed.size() >= 2; }, 30000));
    EXPECT_EQ(pressed, (std::vector<Shortcut>{Shortcut::TurnRight, Shortcut::TurnLeft}));

    portal->ChangeTrigger(session, "turn-right", "Ctrl+Alt+R");
    ASSERT_TRUE(ReportsReach(2));
    EXPECT_EQ(reports.back()[1].trigger, "Ctrl+Alt+R");
    EXPECT_EQ(reports.back()[0].trigger, "Ctrl+F5");  // not named, so unchanged

    keys.Release();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return portal->Calls().contains("close " + session); }, 30000));
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

    StartPortal("partial");
    reports.clear();
    Register();
    ASSERT_TRUE(ReportsReach(1));
    EXPECT_EQ(reports.back()[0].kind, Kind::Unavailable);
    EXPECT_EQ(reports.back()[0].detail, "not bound by the desktop");
    EXPECT_EQ(reports.back()[1].kind, Kind::Held);
}

// A portal that never answers is said to be silent instead of leaving the keys pending.
TEST_F(PortalHotKeysTest, APortalThatNeverAnswersIsSaidToBeSilent) {
    StartPortal("silent");
    PortalHotKeys patient(QDBusConnection::sessionBus(), std::chrono::milliseconds(300));
    std::vector<std::vector<ShortcutState>> told;
    EXPECT_EQ(patient
                  .Register(
                      ShortcutsFor([](Axis axis) { return axis == Axis::Pan; }), [](Shortcut) {},
                      [&](const std::vector<ShortcutState>& s) { told.push_back(s); })
                  .front()
                  .kind,
              Kind::Pending);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !told.empty(); }, 30000));
    EXPECT_EQ(told.back()[0].kind, Kind::Unavailable);
    EXPECT_EQ(told.back()[1].detail, "the desktop portal has not answered for 0 seconds");
    patient.Release();
}

TEST_F(PortalHotKeysTest, WithoutAPortalTheKeysAreUnavailableAndSayWhy) {
    EXPECT_FALSE(PortalHotKeys::Offered(QDBusConnection::sessionBus()));
    Register();
    ASSERT_TRUE(ReportsReach(1));
    EXPECT_EQ(reports.back()[0].kind, Kind::Unavailable);
    EXPECT_NE(reports.back()[0].detail.find("org.freedesktop.portal.Desktop"), std::string::npos)
        << reports.back()[0].detail;
}

}  // namespace
}  // namespace tarvik

// A private session bus for this process, so that no desktop's portal is ever touched.
int main(int argc, char** argv) {
    tarvik::test::PrivateBus bus;
    if (!bus.ok()) {
        std::fprintf(stderr, "cannot start a private dbus-daemon\n");
        return 1;
    }
    tarvik::g_bus = &bus;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
