// The configuration files and the position file.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <future>
#include <thread>

#include "ConfigFiles.h"
#include "ConfigLock.h"
#include "Conversions.h"
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
    EXPECT_EQ(ReadFileText(dir.path()).problem, "it is a folder");
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

// Saves with a file size limit of one byte: the write fails part-way, as on a full disk.
SaveOutcome SaveWithinOneByte(const std::string& path, const char* contents) {
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = 1;
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    const SaveOutcome outcome = WriteFileContents(path, contents);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    return outcome;
}

TEST(FileHelpers, AFailedWriteLeavesTheOldFileIntact) {
    TempDir dir;
    dir.Write("/totalsteps.ini", "12\r\n");
    EXPECT_FALSE(SaveWithinOneByte(dir.path() + "/totalsteps.ini", "57").saved);
    EXPECT_EQ(dir.Read("/totalsteps.ini"), "12\r\n");
    EXPECT_EQ(FilesIn(dir.path()), 1u);
}

// Run in a child that has dropped root for nobody with `groups`: what a member of the
// file's group meets. Returns the outcome's `atomic` (0/1), or 2 when not saved.
int SaveAsNobody(const std::string& path, std::vector<gid_t> groups) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setresgid(65534, 65534, 65534) ||
            ::setresuid(65534, 65534, 65534)) {
            ::_exit(3);
        }
        const SaveOutcome outcome = WriteFileContents(path, "57");
        ::_exit(outcome.saved ? (outcome.atomic ? 1 : 0) : 2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A member of the file's group saves through a new file: it keeps the group and the mode, or
// (not a member) the file is written in place, so that those who share it keep it.
TEST(FileHelpers, ASaveByAnotherUserKeepsTheFilesGroupAndMode) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    for (const auto& [groups, atomic] :
         {std::pair{std::vector<gid_t>{4242}, 1}, {std::vector<gid_t>{4343}, 0}}) {
        TempDir dir;
        const std::string file = dir.path() + "/totalsteps.ini";
        dir.Write("/totalsteps.ini", "0\r\n");
        ::chmod(dir.path().c_str(), 0777);
        ::chown(file.c_str(), 0, 4242);
        ::chmod(file.c_str(), 0666);
        EXPECT_EQ(SaveAsNobody(file, groups), atomic);
        struct stat info {};
        ::stat(file.c_str(), &info);
        EXPECT_EQ(info.st_gid, 4242u);
        EXPECT_EQ(info.st_mode & 07777, 0666u);
        EXPECT_EQ(dir.Read("/totalsteps.ini"), "57\r\n");
    }
}

// A tmpfs without a free inode takes no temporary file, so the file is written in place: it
// is never left empty, neither when no block is free nor when the write is cut short.
TEST(FileHelpers, WrittenInPlaceOnAFullFileSystemTheFileIsNeverEmptied) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
    TempDir dir;
    ASSERT_EQ(::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k,nr_inodes=4"), 0);
    const std::string file = dir.path() + "/totalsteps.ini";
    std::ofstream(file) << "12\r\n";
    for (int i = 0; std::ofstream(dir.path() + "/inode" + std::to_string(i)); ++i) {
    }
    std::ofstream(dir.path() + "/inode0") << std::string(1 << 20, 'x');  // every block
    EXPECT_FALSE(SaveWithinOneByte(file, "-3000").saved);
    EXPECT_EQ(dir.Read("/totalsteps.ini"), "12\r\n");
    const SaveOutcome full = WriteFileContents(file, "-3000");
    EXPECT_TRUE(full.saved) << full.reason;
    EXPECT_FALSE(full.atomic);
    EXPECT_EQ(full.reason, "its folder takes no new file (No space left on device)");
    EXPECT_EQ(dir.Read("/totalsteps.ini"), "-3000\r\n");
    ::umount(dir.path().c_str());
}

std::variant<DriveSettings, StartupError> Read(const std::map<std::string, std::string>& files,
                                               TempDir& dir) {
    dir.WriteConfig(files);
    return LoadDriveSettings(dir.path());
}

DriveSettings Load(const std::map<std::string, std::string>& files) {
    TempDir dir;
    auto result = Read(files, dir);
    if (auto* error = std::get_if<StartupError>(&result)) {
        ADD_FAILURE() << error->message;
        return {};
    }
    return std::get<DriveSettings>(result);
}

TEST(LoadDriveSettings, DerivesAddressLimitsPositionAndPhase) {
    const DriveSettings s =
        Load({{"/Config/totalsteps.ini", "-200"}, {"/Config/StepCount.ini", "3"}});
    EXPECT_EQ(s.lptAddress, 888);
    EXPECT_EQ(s.Pan().upperStep, 199);
    EXPECT_EQ(s.Pan().lowerStep, -199);
    EXPECT_EQ(s.Pan().totalSteps, -200);  // the MinStep value is used unchanged
    EXPECT_EQ(s.Pan().stepPhase, 3);
    EXPECT_EQ(s.Pan().bigStep, 50);
    EXPECT_EQ(Load({{"/Config/Middlestep.ini", "32767"}}).Pan().middleStep, 32767);
    EXPECT_EQ(Load({{"/Config/Lpt.ini", "D010"}}).lptAddress, 0xD010);
    // A port address that cannot be used matters only when a phase (1 to 8) is written.
    for (const auto& [phase, refused] :
         {std::pair{"0", false}, {"1", true}, {"8", true}, {"9", false}}) {
        TempDir dir;
        EXPECT_EQ(std::holds_alternative<StartupError>(
                      Read({{"/Config/Lpt.ini", "12345"}, {"/Config/StepCount.ini", phase}}, dir)),
                  refused)
            << phase;
    }
}

// Lpt.ini holds hexadecimal digits alone; anything else is read as far as the digits go, and
// the coils' description says how.
TEST(LoadDriveSettings, AnLptFileWithMoreThanDigitsIsSaidHowItWasRead) {
    for (const auto& [text, reading] :
         {std::pair<std::string, std::string>{"378\r\n", ""},
          {"378 \n", ""},
          {"0x378",
           "Lpt.ini holds \"0x378\": read as 0, write the hexadecimal digits alone, e.g. 378"},
          {" 378",
           "Lpt.ini holds \"378\": read as 0, write the hexadecimal digits alone, e.g. 378"},
          {"37 8",
           "Lpt.ini holds \"37 8\": read as 37, write the hexadecimal digits alone, e.g. 378"}}) {
        EXPECT_EQ(LptReading(text, Hex2Dec(text)), reading) << text;
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
                      .Pan()
                      .totalSteps,
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
        EXPECT_EQ(s.Pan().upperStep, c.upper) << c.maxStep;
        EXPECT_EQ(s.Pan().lowerStep, c.lower) << c.minStep;
    }
}

// Each unusable file stops start-up naming the file by its whole path and saying what is
// wrong: missing, unreadable, or what it holds as it stands. The first in start-up order wins
// over a bad BigStep.ini behind it.
TEST(LoadDriveSettings, AnUnusableFileStopsStartUpNamingItAndTheCause) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"/Config/Middlestep.ini", "<missing>", "Middlestep.ini\" is missing, expected"},
        {"/Config/MaxStep.ini", "<dir>", "MaxStep.ini\" cannot be read: it is a folder"},
        {"/Config/MaxStep.ini", "<unreadable>", "MaxStep.ini\" cannot be read: Permission denied"},
        {"/Config/Middlestep.ini", "40000",
         "Middlestep.ini\" holds \"40000\", expected a whole number from -32768 to 32767"},
        {"/Config/MaxStep.ini", "32768",
         "MaxStep.ini\" holds \"32768\", expected a number from -32767 to 32767"},
        {"/Config/MaxStep.ini", "-32767.5", "MaxStep.ini\" holds \"-32767.5\""},
        {"/Config/MinStep.ini", "-32769",
         "MinStep.ini\" holds \"-32769\", expected a number from -32768 to 32766"},
        {"/Config/MinStep.ini", "32767", "MinStep.ini\" holds \"32767\""},
        {"/Config/MinStep.ini", "300", "not above the one in \""},
        {"/Config/totalsteps.ini", "-201",
         "totalsteps.ini\" holds \"-201\", expected a position from -200 to 200 (the range"},
        {"/Config/totalsteps.ini", "5\r\n6\r\n", "holds \"5\\r\\n6\""},
        {"/Config/totalsteps.ini", "\x01\x7f\xff", "holds \"\\x01\\x7F\\xFF\""},
        {"/Config/totalsteps.ini", std::string(50, '7'),
         "holds \"" + std::string(40, '7') + "...\","},
        {"/Config/StepCount.ini", "one", "StepCount.ini\" holds \"one\""},
        {"/Config/Lpt.ini", "12345", "Lpt.ini\" holds \"12345\", expected a port"},
        {"/Config/Gpio.ini", "gpiochip0 1 2 3",
         "Gpio.ini\" holds \"gpiochip0 1 2 3\", expected one line"},
        {"/Config/BigStep.ini", "-32768",
         "BigStep.ini\" holds \"-32768\", expected a whole number from -32767 to 32767"},
    };
    for (const auto& [file, content, message] : cases) {
        if (content == "<unreadable>" && ::geteuid() == 0) continue;  // root reads everything
        TempDir dir;
        std::map<std::string, std::string> files{{"/Config/BigStep.ini", "x"}};
        files[file] = content == "<dir>" ? "<missing>" : content;
        dir.WriteConfig(files);
        if (content == "<dir>") std::filesystem::create_directory(dir.path() + file);
        if (content == "<unreadable>") ::chmod((dir.path() + file).c_str(), 0);
        auto result = LoadDriveSettings(dir.path());
        ASSERT_TRUE(std::holds_alternative<StartupError>(result)) << file << " " << content;
        const std::string text = std::get<StartupError>(result).message;
        EXPECT_EQ(text.rfind("\"" + dir.path() + "/Config/", 0), 0u) << text;
        EXPECT_NE(text.find(message), std::string::npos) << text;
    }
}

// A Config folder that is missing or not a folder is said as such, not as its first file.
TEST(LoadDriveSettings, AConfigFolderThatCannotBeUsedIsNamed) {
    TempDir dir;
    const auto message = [&dir] {
        auto result = LoadDriveSettings(dir.path());
        return std::holds_alternative<StartupError>(result) ? std::get<StartupError>(result).message
                                                            : std::string("started");
    };
    const std::string folder = "\"" + dir.path() + "/Config\"";
    EXPECT_EQ(message(), "The Config folder " + folder + " is missing");
    dir.Write("/Config", "a file");
    EXPECT_EQ(message(), folder + " is not a folder");
}

// Config/Tilt holds the tilt motor's six files, read like the pan's, with their own paths in
// the messages; without the folder there is no tilt.
TEST(LoadDriveSettings, ATiltFolderIsReadLikeThePansFiles) {
    EXPECT_FALSE(Load({}).axes[IndexOf(Axis::Tilt)]);
    const std::map<std::string, std::string> tilt = {
        {"/Config/Tilt/Middlestep.ini", "5"}, {"/Config/Tilt/MaxStep.ini", "100"},
        {"/Config/Tilt/MinStep.ini", "-40"},  {"/Config/Tilt/totalsteps.ini", "7"},
        {"/Config/Tilt/StepCount.ini", "3"},  {"/Config/Tilt/BigStep.ini", "20"}};
    const DriveSettings s = Load(tilt);
    const auto& tiltAxis = s.axes[IndexOf(Axis::Tilt)];
    ASSERT_TRUE(tiltAxis);
    EXPECT_EQ(tiltAxis->upperStep, 99);
    EXPECT_EQ(tiltAxis->lowerStep, -39);
    EXPECT_EQ(tiltAxis->totalSteps, 7);
    EXPECT_EQ(tiltAxis->bigStep, 20);
    EXPECT_EQ(s.Pan().upperStep, 199);
    for (const auto& [file, content, message] :
         {std::tuple{"/Config/Tilt/MaxStep.ini", "high", "Tilt/MaxStep.ini\" holds \"high\""},
          {"/Config/Tilt/BigStep.ini", "<missing>", "Tilt/BigStep.ini\" is missing"},
          {"/Config/Gpio.ini", "gpiochip0 1 2 3 4", "expected a second line \"tilt CHIP"}}) {
        TempDir dir;
        auto files = tilt;
        files[file] = content;
        const auto result = Read(files, dir);
        ASSERT_TRUE(std::holds_alternative<StartupError>(result)) << file;
        EXPECT_NE(std::get<StartupError>(result).message.find(message), std::string::npos)
            << std::get<StartupError>(result).message;
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
    dir.Write("/html/UpLimit.html", "top");
    const Pages pages = LoadPages(dir.path());
    EXPECT_EQ(pages.axes[0].atHighest, "right end");
    EXPECT_EQ(pages.index, std::string("in\0dex", 6));
    EXPECT_EQ(pages.axes[0].lower, "");
    EXPECT_EQ(pages.axes[1].atHighest, "") << "read only with a tilt folder";
    dir.Write("/Config/Tilt/BigStep.ini", "1");
    EXPECT_EQ(LoadPages(dir.path()).axes[1].atHighest, "top");
}

}  // namespace
}  // namespace tarvik
