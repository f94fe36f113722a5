// The configuration files and the position file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <future>
#include <thread>

#include "ConfigFiles.h"
#include "ConfigLock.h"
#include "Fakes.h"
#include "FileHelpers.h"
#include "TempDir.h"

namespace tarvik {
namespace {

using test::TempDir;

std::size_t FilesIn(const std::string& dir) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST(FileHelpers, ReadGivesBytesOrEmptyTextAndWriteNeverCreates) {
    TempDir dir;
    test::StdinClosed closed;  // the file read gets descriptor 0
    dir.Write("/a.bin", std::string("x\0\xff\r\n", 5));
    EXPECT_EQ(ReadFileContents(dir.path() + "/a.bin"), std::string("x\0\xff\r\n", 5));
    EXPECT_EQ(ReadFileContents(dir.path() + "/missing"), "");
    EXPECT_EQ(ReadFileContents(dir.path()), "");
    // A read error gives empty text; a retry would never end, so the test does not wait on it.
    auto read = std::make_shared<std::promise<std::string>>();
    std::thread([read] { read->set_value(ReadFileContents("/proc/self/mem")); }).detach();
    auto unreadable = read->get_future();
    ASSERT_EQ(unreadable.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(unreadable.get(), "");
    const SaveOutcome missing = WriteFileContents(dir.path() + "/missing", "57");
    EXPECT_FALSE(missing.saved);
    EXPECT_EQ(missing.reason, "the file does not exist (Tarvik never creates it)");
    EXPECT_EQ(FilesIn(dir.path()), 1u);
}

// Also on another file system than the root's, where a temporary file anywhere but beside
// the target could not be renamed over it.
TEST(FileHelpers, ASaveReplacesTheContentKeepsTheModeAndLeavesNoTemporaryFile) {
    for (const char* parent : {"/tmp", "/dev/shm"}) {
        if (!std::filesystem::is_directory(parent)) continue;
        TempDir dir(parent);
        test::StdinClosed closed;  // the temporary file, then the folder, get descriptor 0
        dir.Write("/totalsteps.ini", "old content that is longer\r\n");
        ::chmod((dir.path() + "/totalsteps.ini").c_str(), 0640);
        const SaveOutcome outcome = WriteFileContents(dir.path() + "/totalsteps.ini", "57");
        EXPECT_TRUE(outcome.saved && outcome.atomic) << parent << ": " << outcome.reason;
        EXPECT_EQ(dir.Read("/totalsteps.ini"), "57\r\n");
        struct stat info {};
        ::stat((dir.path() + "/totalsteps.ini").c_str(), &info);
        EXPECT_EQ(info.st_mode & 0777, 0640u);
        EXPECT_EQ(FilesIn(dir.path()), 1u);
    }
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
    const SaveOutcome outcome = WriteFileContents(dir.path() + "/totalsteps.ini", "57");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(outcome.saved);
    EXPECT_EQ(dir.Read("/totalsteps.ini"), "12\r\n");
    EXPECT_EQ(FilesIn(dir.path()), 1u);
}

DriveSettings Load(const std::map<std::string, std::string>& files) {
    TempDir dir;
    dir.WriteConfig(files);
    auto result = LoadDriveSettings(dir.path());
    if (auto* error = std::get_if<StartupError>(&result)) {
        ADD_FAILURE() << error->Message();
        return {};
    }
    return std::get<DriveSettings>(result);
}

TEST(LoadDriveSettings, DerivesAddressLimitsPositionAndPhase) {
    const DriveSettings s =
        Load({{"/Config/totalsteps.ini", "-200"}, {"/Config/StepCount.ini", "3"}});
    EXPECT_EQ(s.LptAddress, "888");
    EXPECT_EQ(s.portAddress, 888);
    EXPECT_EQ(s.UpperStep, 199);
    EXPECT_EQ(s.LowerStep, -199);
    EXPECT_EQ(s.TotalSteps, -200);  // the MinStep value is used unchanged
    EXPECT_EQ(s.StepPhase, 3);
    EXPECT_EQ(s.BigStep, 50);
    EXPECT_EQ(Load({{"/Config/Middlestep.ini", "32767"}}).MiddleStep, 32767);
    EXPECT_EQ(Load({{"/Config/Lpt.ini", "<missing>"}}).portAddress, 0);
    EXPECT_EQ(Load({{"/Config/Lpt.ini", "D010"}}).portAddress, 0xD010);
    // A port address that cannot be used matters only when a phase (1 to 8) is written.
    for (const auto& [phase, refused] :
         {std::pair{"0", false}, {"1", true}, {"8", true}, {"9", false}}) {
        TempDir dir;
        dir.WriteConfig({{"/Config/Lpt.ini", "12345"}, {"/Config/StepCount.ini", phase}});
        EXPECT_EQ(std::holds_alternative<StartupError>(LoadDriveSettings(dir.path())), refused)
            << phase;
    }
}

// A position saved at the right end (the MaxStep value) comes back unchanged; one beyond
// it, after MaxStep was narrowed, is taken back to the end.
TEST(LoadDriveSettings, AStoredPositionIsKeptUpToTheRightEnd) {
    for (const auto& [stored, expected] :
         {std::pair{"300", 300}, {"299", 299}, {"301", 300}, {"500", 300}, {"-301", -301}}) {
        EXPECT_EQ(Load({{"/Config/totalsteps.ini", stored},
                        {"/Config/MaxStep.ini", "300"},
                        {"/Config/MinStep.ini", "-301"}})
                      .TotalSteps,
                  expected)
            << stored;
    }
}

// The reachable ends may be anything 16 bits hold; the limits are rounded down.
TEST(LoadDriveSettings, LimitsReachTheEndsOfTheSixteenBitRange) {
    struct Case {
        const char *maxStep, *minStep;
        std::int16_t upper, lower;
    };
    for (const Case& c :
         {Case{"200.7", "-200.5", 199, -200}, Case{"200", "200", 199, 201},
          Case{"32767", "-32768", 32766, -32767}, Case{"32767.9", "-32768", 32766, -32767}}) {
        const DriveSettings s = Load({{"/Config/MaxStep.ini", c.maxStep},
                                      {"/Config/MinStep.ini", c.minStep},
                                      {"/Config/totalsteps.ini", c.minStep}});
        EXPECT_EQ(s.UpperStep, c.upper) << c.maxStep;
        EXPECT_EQ(s.LowerStep, c.lower) << c.minStep;
    }
}

// Each unusable file stops start-up naming the file and quoting it as it stands; the first
// in start-up order wins over a bad BigStep.ini behind it.
TEST(LoadDriveSettings, AnUnusableFileStopsStartUpNamingAndQuotingIt) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"/Config/Middlestep.ini", "<missing>", "\"Config/Middlestep.ini\" is missing, expected"},
        {"/Config/MaxStep.ini", "<dir>", "\"Config/MaxStep.ini\" is missing, expected"},
        {"/Config/Middlestep.ini", "40000", "\"Config/Middlestep.ini\" holds \"40000\", expected"},
        {"/Config/MaxStep.ini", "32768", "\"Config/MaxStep.ini\" holds \"32768\""},
        {"/Config/MaxStep.ini", "-32767.5", "\"Config/MaxStep.ini\" holds \"-32767.5\""},
        {"/Config/MinStep.ini", "-32769", "\"Config/MinStep.ini\" holds \"-32769\""},
        {"/Config/MinStep.ini", "32767", "\"Config/MinStep.ini\" holds \"32767\""},
        {"/Config/MinStep.ini", "300", "not above the one in \"Config/MaxStep.ini\""},
        {"/Config/totalsteps.ini", "-201", "\"Config/totalsteps.ini\" holds \"-201\""},
        {"/Config/totalsteps.ini", "5\r\n6\r\n", "holds \"5\\r\\n6\""},
        {"/Config/totalsteps.ini", "\x01\x7f\xff", "holds \"\\x01\\x7F\\xFF\""},
        {"/Config/totalsteps.ini", std::string(50, '7'),
         "holds \"" + std::string(40, '7') + "...\","},
        {"/Config/StepCount.ini", "one", "\"Config/StepCount.ini\" holds \"one\""},
        {"/Config/Lpt.ini", "12345", "\"Config/Lpt.ini\" holds \"12345\", expected a port"},
        {"/Config/Gpio.ini", "gpiochip0 1 2 3",
         "\"Config/Gpio.ini\" holds \"gpiochip0 1 2 3\", expected one line"},
        {"/Config/BigStep.ini", "-32768", "\"Config/BigStep.ini\" holds \"-32768\""},
    };
    for (const auto& [file, content, message] : cases) {
        TempDir dir;
        std::map<std::string, std::string> files{{"/Config/BigStep.ini", "x"}};
        files[file] = content == "<dir>" ? "<missing>" : content;
        dir.WriteConfig(files);
        if (content == "<dir>") std::filesystem::create_directory(dir.path() + file);
        auto result = LoadDriveSettings(dir.path());
        ASSERT_TRUE(std::holds_alternative<StartupError>(result)) << file << " " << content;
        const std::string text = std::get<StartupError>(result).Message();
        EXPECT_NE(text.find(message), std::string::npos) << text;
    }
}

// Taking another folder lets go of the first, also when its lock was descriptor 0.
TEST(ConfigLock, TakingAnotherFolderLetsGoOfTheFirst) {
    test::StdinClosed closed;
    TempDir first, second;
    ConfigLock lock;
    ASSERT_FALSE(lock.Take(first.path()));
    ASSERT_FALSE(lock.Take(second.path()));
    ConfigLock other;
    EXPECT_FALSE(other.Take(first.path()));
    const auto busy = other.Take(second.path());
    ASSERT_TRUE(busy);
    EXPECT_NE(busy->find("is already in use by"), std::string::npos) << *busy;
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
