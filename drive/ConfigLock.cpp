#include "ConfigLock.h"
#include "FileHelpers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

namespace tarvik {
namespace {

// The process holding a lock on the folder's inode, from /proc/locks, or 0.
long LockHolder(const struct stat& folder) {
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%lu", major(folder.st_dev), minor(folder.st_dev),
                  static_cast<unsigned long>(folder.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, inode;
        if (!(fields >> number >> kind)) continue;
        if (kind == "->") fields >> kind;  // a waiter: its own line format
        if (kind != "FLOCK" || !(fields >> mode >> access >> pid >> inode)) continue;
        if (inode == key) return std::stol(pid);
    }
    return 0;
}

std::string ProcessName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "tarvik" : name;
}

}  // namespace

ConfigLock::~ConfigLock() {
    CloseIfOpen(fd_);
}

ConfigLock::ConfigLock(ConfigLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ConfigLock& ConfigLock::operator=(ConfigLock&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

std::optional<std::string> ConfigLock::Take(const std::string& configDir) {
    const int fd = ::open(configDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        CloseIfOpen(fd_);
        fd_ = fd;
        return std::nullopt;
    }
    struct stat folder {};
    ::fstat(fd, &folder);
    ::close(fd);
    const long pid = LockHolder(folder);
    const std::string holder =
        pid > 0 ? ProcessName(pid) + " (process " + std::to_string(pid) + ")" : "another process";
    return "\"" + configDir + "\" is already in use by " + holder +
           ": only one Tarvik may use a Config folder";
}

}  // namespace tarvik
