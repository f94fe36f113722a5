#include "FileHelpers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

bool WriteFileContents(const std::string& FileFullPath, std::string_view Contents) {
    struct stat info {};
    if (!IsRegularFile(FileFullPath, &info)) return false;
    std::string temp = DirectoryOf(FileFullPath) + "/." + BaseNameOf(FileFullPath) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    std::string line(Contents);
    line += "\r\n";
    const bool ok =
        WriteAll(fd, line) && ::fchmod(fd, info.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!ok || !closed || ::rename(temp.c_str(), FileFullPath.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace tarvik
