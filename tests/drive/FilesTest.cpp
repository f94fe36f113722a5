#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "ConfigFiles.h"
#include "Conversions.h"
#include "FileHelpers.h"
#include "TempDir.h"

namespace tarvik {
namespace {

using test::TempDir;

TEST(FileHelpers, ReadGivesBytesOrEmptyText) {
    TempDir dir;
    dir.Write("/a.bin", std::string("x\0\xff\r\n", 5));
    dir.Write("/empty", "");
    std::filesystem::create_directory(dir.path() + "/sub");
    EXPECT_EQ(ReadFileContents(dir.path() + "/a.bin"), std::string("x\0\xff\r\n", 5));
    EXPECT_EQ(ReadFileContents(dir.path() + "/empty"), "");
    EXPECT_EQ(ReadFileContents(dir.path() + "/missing"), "");
    EXPECT_EQ(ReadFileContents(dir.path() + "/sub"), "");
}

TEST(FileHelpers, WriteNeverCreatesAFile) {
    TempDir dir;
    EXPECT_FALSE(WriteFileContents(dir.path() + "/totalsteps.ini", "57").saved);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(FileHelpers, WriteThenReadGivesTheNumberBackAndKeepsPermissions) {
    TempDir dir;
    dir.Write("/totalsteps.ini", "old content that is longer\r\n");
    ::chmod((dir.path() + "/totalsteps.ini").c_str(), 0664);
    const SaveOutcome outcome = WriteFileContents(dir.path() + "/totalsteps.ini", "57");
    ASSERT_TRUE(outcome.saved) << outcome.reason;
    EXPECT_TRUE(outcome.atomic);
    EXPECT_EQ(dir.Read("/totalsteps.ini"), "57\r\n");
    EXPECT_EQ(ToInt16(ReadFileContents(dir.path() + "/totalsteps.ini")), 57);
    struct stat info {};
    ::stat((dir.path() + "/totalsteps.ini").c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0664u);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// A file size limit of one byte makes the write fail part-way, as a full disk would.
TEST(FileHelpers, AFailedWriteLeavesTheOldFileIntact) {
    TempDir dir;
    dir.Write("/totalsteps.ini", "12\r\n");
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = 1;
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    const bool written = WriteFileContents(dir.path() + "/totalsteps.ini", "57").saved;
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(dir.Read("/totalsteps.ini"), "12\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// Packaged installs keep the position elsewhere through a link; the link must survive.
TEST(FileHelpers, ALinkIsFollowedAndStaysALink) {
    TempDir dir;
    dir.Write("/state/position", "12\r\n");
    std::filesystem::create_directory(dir.path() + "/Config");
    std::filesystem::create_symlink("../state/position", dir.path() + "/Config/totalsteps.ini");
    ASSERT_TRUE(WriteFileContents(dir.path() + "/Config/totalsteps.ini", "57").saved);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path() + "/Config/totalsteps.ini"));
    EXPECT_EQ(dir.Read("/state/position"), "57\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() + "/state"), {}), 1);
}

// Even for root: a rename would replace the file whatever its mode says.
TEST(FileHelpers, AReadOnlyFileIsNotWrittenAndTheCheckSaysSoFirst) {
    TempDir dir;
    dir.Write("/totalsteps.ini", "12\r\n");
    ::chmod((dir.path() + "/totalsteps.ini").c_str(), 0444);
    const SaveOutcome check = CheckWritable(dir.path() + "/totalsteps.ini");
    EXPECT_FALSE(check.saved);
    const SaveOutcome outcome = WriteFileContents(dir.path() + "/totalsteps.ini", "57");
    EXPECT_FALSE(outcome.saved);
    EXPECT_FALSE(outcome.reason.empty());
    EXPECT_EQ(dir.Read("/totalsteps.ini"), "12\r\n");
    EXPECT_FALSE(CheckWritable(dir.path() + "/missing").saved);
}

DriveSettings Load(const TempDir& dir) {
    auto result = LoadDriveSettings(dir.path());
    if (auto* error = std::get_if<StartupError>(&result)) {
        ADD_FAILURE() << error->Message();
        return {};
    }
    return std::get<DriveSettings>(result);
}

TEST(LoadDriveSettings, DerivesLimitsAddressAndPosition) {
    TempDir dir;
    dir.WriteConfig({{"/Config/totalsteps.ini", "-200"}, {"/Config/StepCount.ini", "3"}});
    const DriveSettings s = Load(dir);
    EXPECT_EQ(s.LptAddress, "888");
    EXPECT_EQ(s.portAddress, 888);
    EXPECT_EQ(s.UpperStep, 199);
    EXPECT_EQ(s.LowerStep, -199);
    EXPECT_EQ(s.TotalSteps, -200);  // LowerStep - 1 is used unchanged
    EXPECT_EQ(s.StepPhase, 3);
    EXPECT_EQ(s.BigStep, 50);
}

// A position saved at the right end (the MaxStep value) comes back unchanged; one beyond
// it, after MaxStep was narrowed, is taken back to the end.
TEST(LoadDriveSettings, AStoredPositionIsKeptUpToTheRightEnd) {
    for (const auto& [stored, expected] :
         {std::pair{"300", 300}, {"299", 299}, {"301", 300}, {"500", 300}, {"-301", -301}}) {
        TempDir dir;
        dir.WriteConfig({{"/Config/totalsteps.ini", stored},
                         {"/Config/MaxStep.ini", "300"},
                         {"/Config/MinStep.ini", "-301"}});
        EXPECT_EQ(Load(dir).TotalSteps, expected) << stored;
    }
}

struct LimitCase {
    const char* maxStep;
    const char* minStep;
    std::int16_t upper, lower;
};

// The reachable ends may be anything 16 bits hold; the limits are rounded down.
TEST(LoadDriveSettings, LimitsReachTheEndsOfTheSixteenBitRange) {
    for (const LimitCase& c :
         {LimitCase{"200.7", "-200.5", 199, -200}, LimitCase{"32767", "-32768", 32766, -32767},
          LimitCase{"32767.9", "-32768", 32766, -32767},
          LimitCase{"-32767", "-32768", -32768, -32767}}) {
        TempDir dir;
        dir.WriteConfig({{"/Config/MaxStep.ini", c.maxStep}, {"/Config/MinStep.ini", c.minStep}});
        const DriveSettings s = Load(dir);
        EXPECT_EQ(s.UpperStep, c.upper) << c.maxStep;
        EXPECT_EQ(s.LowerStep, c.lower) << c.minStep;
    }
}

// Messages quote the file as it stands, not a value converted from it.
TEST(LoadDriveSettings, MessagesQuoteTheFileAsItStands) {
    const std::pair<const char*, const char*> cases[] = {
        {"-32767.5", "\"-32767.5\""},
        {"5\r\n6\r\n", "\"5\\r\\n6\""},
        {"\x01\xff", "\"\\x01\\xFF\""},
    };
    for (const auto& [text, quoted] : cases) {
        TempDir dir;
        dir.WriteConfig({{"/Config/totalsteps.ini", text}});
        auto result = LoadDriveSettings(dir.path());
        ASSERT_TRUE(std::holds_alternative<StartupError>(result)) << text;
        const std::string message = std::get<StartupError>(result).Message();
        EXPECT_NE(message.find(quoted), std::string::npos) << message;
    }
}

TEST(LoadDriveSettings, AMissingLptFileGivesAddressZero) {
    TempDir dir;
    dir.WriteConfig({{"/Config/Lpt.ini", "<missing>"}});
    EXPECT_EQ(Load(dir).portAddress, 0);
}

TEST(LoadDriveSettings, HighAddressesKeepTheirSixteenBits) {
    TempDir dir;
    dir.WriteConfig({{"/Config/Lpt.ini", "D010"}});
    EXPECT_EQ(Load(dir).portAddress, 0xD010);
}

struct BadConfig {
    const char* file;
    const char* content;
    const char* named;  // the file the message must name
};

class StartupFailure : public ::testing::TestWithParam<BadConfig> {};

TEST_P(StartupFailure, NamesTheFileAndWhatItHeld) {
    TempDir dir;
    dir.WriteConfig({{GetParam().file, GetParam().content}});
    auto result = LoadDriveSettings(dir.path());
    ASSERT_TRUE(std::holds_alternative<StartupError>(result));
    const StartupError& error = std::get<StartupError>(result);
    EXPECT_EQ(error.file, GetParam().named);
    const std::string message = error.Message();
    EXPECT_NE(message.find(GetParam().named), std::string::npos) << message;
    EXPECT_NE(message.find("expected"), std::string::npos) << message;
    if (std::string(GetParam().content) != "<missing>") {
        EXPECT_NE(message.find("holds"), std::string::npos) << message;
    } else {
        EXPECT_NE(message.find("missing"), std::string::npos) << message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachNumericFile, StartupFailure,
    ::testing::Values(
        BadConfig{"/Config/Middlestep.ini", "<missing>", "Config/Middlestep.ini"},
        BadConfig{"/Config/Middlestep.ini", "", "Config/Middlestep.ini"},
        BadConfig{"/Config/Middlestep.ini", "abc", "Config/Middlestep.ini"},
        BadConfig{"/Config/Middlestep.ini", "40000", "Config/Middlestep.ini"},
        BadConfig{"/Config/MaxStep.ini", "<missing>", "Config/MaxStep.ini"},
        BadConfig{"/Config/MaxStep.ini", "abc", "Config/MaxStep.ini"},
        BadConfig{"/Config/MaxStep.ini", "32768", "Config/MaxStep.ini"},     // beyond 16 bits
        BadConfig{"/Config/MaxStep.ini", "-32767.5", "Config/MaxStep.ini"},  // UpperStep too
        BadConfig{"/Config/MinStep.ini", "<missing>", "Config/MinStep.ini"},
        BadConfig{"/Config/MinStep.ini", "-32769", "Config/MinStep.ini"},
        BadConfig{"/Config/MinStep.ini", "32767", "Config/MinStep.ini"},  // LowerStep too
        BadConfig{"/Config/MinStep.ini", "300", "Config/MinStep.ini"},    // above MaxStep
        BadConfig{"/Config/totalsteps.ini", "<missing>", "Config/totalsteps.ini"},
        BadConfig{"/Config/totalsteps.ini", "1.2.3", "Config/totalsteps.ini"},
        BadConfig{"/Config/totalsteps.ini", "-201", "Config/totalsteps.ini"},  // below the reach
        BadConfig{"/Config/StepCount.ini", "<missing>", "Config/StepCount.ini"},
        BadConfig{"/Config/StepCount.ini", "one", "Config/StepCount.ini"},
        BadConfig{"/Config/BigStep.ini", "<missing>", "Config/BigStep.ini"},
        BadConfig{"/Config/BigStep.ini", "-32768", "Config/BigStep.ini"},
        BadConfig{"/Config/BigStep.ini", "5 0", "Config/BigStep.ini"},
        BadConfig{"/Config/Lpt.ini", "12345", "Config/Lpt.ini"}));  // needs 17 bits

TEST(LoadDriveSettings, AWideAddressIsHarmlessWhenNoPhaseIsWritten) {
    TempDir dir;
    dir.WriteConfig({{"/Config/Lpt.ini", "12345"}, {"/Config/StepCount.ini", "0"}});
    EXPECT_EQ(Load(dir).portAddress, std::nullopt);
}

TEST(LoadDriveSettings, TheFirstBadFileInStartUpOrderIsReported) {
    TempDir dir;
    dir.WriteConfig({{"/Config/BigStep.ini", "x"}, {"/Config/MaxStep.ini", "y"}});
    auto result = LoadDriveSettings(dir.path());
    EXPECT_EQ(std::get<StartupError>(result).file, "Config/MaxStep.ini");
}

TEST(LoadPages, ReadsEachPageAndLeavesMissingOnesEmpty) {
    TempDir dir;
    dir.Write("/html/Maxright.html", "right end");
    dir.Write("/html/Index.html", std::string("in\0dex", 6));
    const Pages pages = LoadPages(dir.path());
    EXPECT_EQ(pages.PageMaxRight, "right end");
    EXPECT_EQ(pages.PageIndex, std::string("in\0dex", 6));
    EXPECT_EQ(pages.PageLeft, "");
}

}  // namespace
}  // namespace tarvik
