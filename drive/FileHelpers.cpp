#include "FileHelpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tarvik {
namespace {

bool IsRegularFile(const std::string& path, struct stat* info) {
    return ::stat(path.c_str(), info) == 0 && S_ISREG(info->st_mode);
}

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

std::string ReadFileContents(const std::string& FileFullPath) {
    struct stat info {};
    if (!IsRegularFile(FileFullPath, &info)) return {};
    const int fd = ::open(FileFullPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string contents;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            contents.clear();
            break;
        }
        if (got == 0) break;
        contents.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    return contents;
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

// The old way, for a folder that takes no new file: truncate and write. Not atomic.
std::string WriteInPlace(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return ErrnoText();
    std::string problem;
    if (!WriteAll(fd, bytes) || ::fsync(fd) != 0) problem = ErrnoText();
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

// Writes `bytes` to a new temporary file beside `target` and renames it over the target.
// Returns the reason on failure; `tookNoFile` tells that the folder refused the new file.
std::string ReplaceAtomically(const Target& target, std::string_view bytes, bool& tookNoFile) {
    const std::string dir = DirectoryOf(target.path);
    std::string temp = dir + "/." + BaseNameOf(target.path) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    tookNoFile = fd < 0;
    if (fd < 0) return ErrnoText();
    std::string problem;
    // The owner first: changing it may clear mode bits that fchmod then sets again.
    [[maybe_unused]] const int owned = ::fchown(fd, target.info.st_uid, target.info.st_gid);
    if (!WriteAll(fd, bytes) || ::fchmod(fd, target.info.st_mode & 07777) != 0 ||
        ::fsync(fd) != 0) {
        problem = ErrnoText();
    }
    if (::close(fd) != 0 && problem.empty()) problem = ErrnoText();
    if (problem.empty() && ::rename(temp.c_str(), target.path.c_str()) != 0) problem = ErrnoText();
    if (!problem.empty()) {
        ::unlink(temp.c_str());
        return problem;
    }
    return SyncDirectory(dir);
}

}  // namespace

SaveOutcome WriteFileContents(const std::string& FileFullPath, std::string_view Contents) {
    const Target target = Resolve(FileFullPath);
    if (!target.problem.empty()) return {false, false, target.problem};
    if (std::string refusal = WriteRefusal(target); !refusal.empty())
        return {false, false, refusal};
    std::string line(Contents);
    line += "\r\n";
    bool tookNoFile = false;
    const std::string problem = ReplaceAtomically(target, line, tookNoFile);
    if (problem.empty()) return {true, true, {}};
    if (!tookNoFile) return {false, false, problem};
    if (std::string inPlace = WriteInPlace(target.path, line); !inPlace.empty()) {
        return {false, false, inPlace};
    }
    return {true, false, "its folder takes no new file (" + problem + ")"};
}

SaveOutcome CheckWritable(const std::string& FileFullPath) {
    const Target target = Resolve(FileFullPath);
    if (!target.problem.empty()) return {false, false, target.problem};
    if (std::string refusal = WriteRefusal(target); !refusal.empty())
        return {false, false, refusal};
    const std::string dir = DirectoryOf(target.path);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return {true, false, "its folder takes no new file (" + ErrnoText() + ")"};
    }
    return {true, true, {}};
}

}  // namespace tarvik
