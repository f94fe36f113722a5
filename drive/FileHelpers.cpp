#include "FileHelpers.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tarvik {
namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

FileText ReadFileText(const std::string& path) {
    FileText result;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        result.missing = errno == ENOENT || errno == ENOTDIR;
        result.problem = std::strerror(errno);
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.problem = S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file";
        return result;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.problem = std::strerror(errno);
        return result;
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            result.contents.clear();
            result.problem = std::strerror(errno);
            break;
        }
        if (got == 0) break;
        result.contents.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    return result;
}

std::string ReadFileContents(const std::string& path) {
    return ReadFileText(path).contents;
}

namespace {

// A path with every link resolved, and what stat says of it.
struct Target {
    std::string path;
    struct stat info {};
    std::string problem;  // empty when it is a regular file
};

Target Resolve(const std::string& path) {
    Target target;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        target.problem = errno == ENOENT ? "the file does not exist (Tarvik never creates it)"
                                         : std::strerror(errno);
        return target;
    }
    target.path = resolved;
    if (::stat(resolved, &target.info) != 0) {
        target.problem = std::strerror(errno);
    } else if (!S_ISREG(target.info.st_mode)) {
        target.problem = "it is not a regular file";
    }
    return target;
}

// Why this process may not write the file, or empty. Root passes every access check, so
// for root a file without any write bit counts as read-only too: that is what its owner
// meant, and a rename would otherwise replace it.
std::string WriteRefusal(const Target& target) {
    if (::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0) {
        return std::strerror(errno);
    }
    if (::geteuid() == 0 && (target.info.st_mode & 0222) == 0) {
        return "its permission bits make it read-only";
    }
    return {};
}

std::string ErrnoText() {
    return std::strerror(errno);
}

std::string GroupRefusal(gid_t group) {
    const ::group* entry = ::getgrgid(group);
    return "its group " + (entry != nullptr ? std::string(entry->gr_name) : std::to_string(group)) +
           " is not one of this user's";
}

// Whether a new file of this process may be given `group`: root may, others for their own
// groups only.
bool MayGiveGroup(gid_t group) {
    if (::geteuid() == 0 || ::getegid() == group) return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(count, 0), group) !=
           groups.begin() + std::max(count, 0);
}

// For a folder that takes no new file: the file itself is overwritten. The new bytes go over
// the old ones from the start and the file is cut to length only afterwards, so it is never
// empty on the way: a position is a few bytes inside the block the file already owns, which a
// full disk cannot take away. A write cut short (a file size limit) puts the old bytes back.
std::string WriteInPlace(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return ErrnoText();
    char old[256];
    const ssize_t oldSize = ::pread(fd, old, sizeof old, 0);
    ssize_t written = -1;
    do {
        written = ::pwrite(fd, bytes.data(), bytes.size(), 0);
    } while (written < 0 && errno == EINTR);
    std::string problem;
    if (written != static_cast<ssize_t>(bytes.size())) {
        problem = written < 0 ? ErrnoText() : "the write was cut short";
        if (written > 0 && oldSize >= 0 && static_cast<std::size_t>(oldSize) < sizeof old) {
            ::pwrite(fd, old, static_cast<std::size_t>(std::min(written, oldSize)), 0);
            ::ftruncate(fd, oldSize);
        }
    } else if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || ::fsync(fd) != 0) {
        problem = ErrnoText();
    }
    if (::close(fd) != 0 && problem.empty()) problem = ErrnoText();
    return problem;
}

// Makes a rename in the folder durable: without it a power cut can bring the old name back.
std::string SyncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return ErrnoText();
    const std::string problem = ::fsync(fd) == 0 ? "" : ErrnoText();
    ::close(fd);
    return problem;
}

// Gives the temporary file the old file's owner, group and mode. Only root may give a file
// away, so for anyone else the owner becomes this user; the group and the mode are what let
// the others who share the file (the service and the desktop users in its group) go on
// writing it. Returns why the group cannot be kept, or empty.
std::string TakeOverOwnership(int fd, const struct stat& old) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && ::fchown(fd, -1, old.st_gid) != 0) {
        return GroupRefusal(old.st_gid);
    }
    // After the owner: changing it may clear mode bits that are set again here.
    return ::fchmod(fd, old.st_mode & 07777) == 0 ? "" : ErrnoText();
}

// How a replacement through a temporary file went.
struct Replacement {
    std::string problem;    // empty: replaced
    std::string notAtomic;  // set when writing in place is the way left: why
};

// Writes `bytes` to a new temporary file beside `target` and renames it over the target.
Replacement ReplaceAtomically(const Target& target, std::string_view bytes) {
    const std::string dir = DirectoryOf(target.path);
    std::string temp = dir + "/." + BaseNameOf(target.path) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        const std::string why = ErrnoText();
        return {why, "its folder takes no new file (" + why + ")"};
    }
    Replacement result;
    if (std::string group = TakeOverOwnership(fd, target.info); !group.empty()) {
        result = {group, group};
    } else if (!WriteAll(fd, bytes) || ::fsync(fd) != 0) {
        result.problem = ErrnoText();
    }
    if (::close(fd) != 0 && result.problem.empty()) result.problem = ErrnoText();
    if (result.problem.empty() && ::rename(temp.c_str(), target.path.c_str()) != 0) {
        result.problem = ErrnoText();
    }
    if (!result.problem.empty()) {
        ::unlink(temp.c_str());
        return result;
    }
    return {SyncDirectory(dir), {}};
}

}  // namespace

SaveOutcome WriteFileContents(const std::string& path, std::string_view contents) {
    const Target target = Resolve(path);
    if (!target.problem.empty()) return {false, false, target.problem};
    if (std::string refusal = WriteRefusal(target); !refusal.empty())
        return {false, false, refusal};
    std::string line(contents);
    line += "\r\n";
    const Replacement replaced = ReplaceAtomically(target, line);
    if (replaced.problem.empty()) return {true, true, {}};
    if (replaced.notAtomic.empty()) return {false, false, replaced.problem};
    if (std::string inPlace = WriteInPlace(target.path, line); !inPlace.empty()) {
        return {false, false, inPlace};
    }
    return {true, false, replaced.notAtomic};
}

void CloseIfOpen(int fd) {
    if (fd < 0) return;
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

SaveOutcome CheckWritable(const std::string& path) {
    const Target target = Resolve(path);
    if (!target.problem.empty()) return {false, false, target.problem};
    if (std::string refusal = WriteRefusal(target); !refusal.empty())
        return {false, false, refusal};
    const std::string dir = DirectoryOf(target.path);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return {true, false, "its folder takes no new file (" + ErrnoText() + ")"};
    }
    if (!MayGiveGroup(target.info.st_gid)) return {true, false, GroupRefusal(target.info.st_gid)};
    return {true, true, {}};
}

std::string CannotSaveText(const std::string& what, const std::string& path,
                           const std::string& reason) {
    return "the " + what + " cannot be saved to \"" + path + "\": " + reason;
}

std::string NotAtomicText(const std::string& path, const std::string& reason) {
    return "Saves of \"" + path + "\" are not atomic: " + reason;
}

}  // namespace tarvik
