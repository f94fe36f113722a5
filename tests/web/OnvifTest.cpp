// The ONVIF pieces that do not need a client: Onvif.ini, the generic space and the pace, the
// presets file. (The services themselves are driven by a real client: tests/onvif.)
#include <gtest/gtest.h>

#include "OnvifConfig.h"
#include "Presets.h"
#include "PtzControl.h"
#include "TempDir.h"

namespace tarvik {
namespace {

TEST(OnvifConfig, KeysValuesCommentsAndTheBadLineNamed) {
    const auto good = ParseOnvifConfig("O",
                                       "# mount\nport = 9000  # ONVIF\nuser = admin\n"
                                       "password = se#cret\nname = Garden mount\n"
                                       "fov = 62.2\nsteps-per-degree = 11.38\ndiscovery = off\n");
    ASSERT_TRUE(std::holds_alternative<OnvifConfig>(good));
    const OnvifConfig& c = std::get<OnvifConfig>(good);
    EXPECT_EQ(c.port, 9000);
    EXPECT_EQ(c.password, "se#cret");
    EXPECT_EQ(c.name, "Garden mount");
    EXPECT_FALSE(c.discovery);
    EXPECT_NEAR(*c.HalfFieldSteps(), 353.918, 0.001);
    EXPECT_EQ(std::get<OnvifConfig>(ParseOnvifConfig("O", "")).port, 8899);
    const std::pair<const char*, const char*> bad[] = {
        {"prot = 1", "\"O\" line 1: prot = \"1\", expected one of the keys"},
        {"\nport = 0", "\"O\" line 2: port = \"0\", expected a whole number from 1 to 65535"},
        {"port = 8899.5", "expected a whole number"},
        {"fov = wide", "fov = \"wide\", expected a number above 0 up to 360 degrees"},
        {"discovery = yes", "expected on or off"},
        {"just words", "\"just words\" is not key = value"},
        {"password = x", "a password without a user"},
        {"user = admin", "a user without a password"},
        {"name =", "expected a value after the ="},
    };
    for (const auto& [text, message] : bad) {
        const auto parsed = ParseOnvifConfig("O", text);
        ASSERT_TRUE(std::holds_alternative<StartupError>(parsed)) << text;
        EXPECT_NE(std::get<StartupError>(parsed).Message().find(message), std::string::npos)
            << std::get<StartupError>(parsed).Message();
    }
}

// The range -1000..1000: its ends at ±1, rounded to the nearest half-step; 1/speed ticks per
// half-step, from 1 to 100.
TEST(PtzControl, TheGenericSpaceMapsTheRangeAndTheSpeedTheTicks) {
    EXPECT_EQ(onvif::FromGeneric(0.5, -1000, 1000), 500);
    EXPECT_EQ(onvif::FromGeneric(-1, -1000, 1000), -1000);
    EXPECT_EQ(onvif::FromGeneric(2, -1000, 1000), 1000);
    EXPECT_EQ(onvif::FromGeneric(0.0006, -1000, 1000), 1);
    EXPECT_EQ(onvif::FromGeneric(0, -200, 600), 200);
    EXPECT_DOUBLE_EQ(onvif::ToGeneric(200, -200, 600), 0);
    EXPECT_DOUBLE_EQ(onvif::ToGeneric(600, -200, 600), 1);
    EXPECT_DOUBLE_EQ(onvif::ToGeneric(5, 5, 5), 0);
    for (const auto& [speed, pace] :
         {std::pair{1.0, 1}, {0.5, 2}, {0.3, 3}, {0.001, 100}, {0.0, 1}, {-1.0, 1}, {5.0, 1}}) {
        EXPECT_EQ(onvif::PaceOf(speed), pace) << speed;
    }
}

TEST(Presets, KeptInTheirFileWhenItExistsAndABadLineStopsStartUp) {
    test::TempDir dir;
    onvif::Presets unkept(dir.path() + "/Presets.ini");
    EXPECT_FALSE(unkept.Load());
    EXPECT_FALSE(unkept.Kept());
    EXPECT_EQ(unkept.Set("", "a", {1, 2}), "1");
    EXPECT_EQ(unkept.Save(), "");  // nothing written, nothing created
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/Presets.ini"));
    dir.Write("/Presets.ini", "1 120 0 Garden gate\r\n\r\n3 -5 7 \x01\r\n");
    onvif::Presets kept(dir.path() + "/Presets.ini");
    ASSERT_FALSE(kept.Load());
    ASSERT_EQ(kept.All().size(), 2u);
    EXPECT_EQ(kept.Find("1")->name, "Garden gate");
    EXPECT_EQ(kept.Set("", "Door\nway", {-9, 0}), "2");  // the first free token
    EXPECT_TRUE(kept.Remove("3"));
    EXPECT_EQ(kept.Save(), "");
    EXPECT_EQ(dir.Read("/Presets.ini"), "1 120 0 Garden gate\r\n2 -9 0 Door way\r\n");
    for (const char* bad : {"1 x 0 a", "1 1 0 a\n1 2 0 b", "1 40000 0 a"}) {
        dir.Write("/Presets.ini", bad);
        onvif::Presets broken(dir.path() + "/Presets.ini");
        const auto error = broken.Load();
        ASSERT_TRUE(error) << bad;
        EXPECT_NE(error->Message().find("Presets.ini\" line "), std::string::npos);
    }
}

}  // namespace
}  // namespace tarvik
