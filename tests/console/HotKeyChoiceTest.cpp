#include "HotKeyChoice.h"

#include <gtest/gtest.h>

namespace tarvik {
namespace {

TEST(HotKeyChoiceTest, EachDesktopGetsTheBackendThatSeesEveryPress) {
    struct Case {
        DesktopSession session;
        HotKeyBackend backend;
        bool noted;
    };
    const Case cases[] = {
        {{"xcb", false, false}, HotKeyBackend::X11Grabs, false},
        {{"xcb", false, true}, HotKeyBackend::X11Grabs, false},  // X11 grabs see everything
        {{"wayland", true, true}, HotKeyBackend::Portal, false},
        {{"xcb", true, true}, HotKeyBackend::Portal, false},    // XWayland with a portal
        {{"xcb", true, false}, HotKeyBackend::X11Grabs, true},  // only X11 windows' presses
        {{"wayland", true, false}, HotKeyBackend::None, true},
        {{"offscreen", false, false}, HotKeyBackend::None, true},
    };
    for (const Case& c : cases) {
        const HotKeyChoice choice = ChooseHotKeys(c.session);
        SCOPED_TRACE(c.session.qtPlatform + (c.session.waylandSession ? " wayland" : " x11") +
                     (c.session.portalOffersShortcuts ? " portal" : ""));
        EXPECT_EQ(choice.backend, c.backend);
        EXPECT_EQ(!choice.note.empty(), c.noted) << choice.note;
    }
    EXPECT_NE(
        ChooseHotKeys({"xcb", true, false}).note.find("only while an X11 window has the focus"),
        std::string::npos);
}

}  // namespace
}  // namespace tarvik
