// One Tarvik per Config folder: two on the same folder would overwrite each other's saved
// position and fight over the coils.
#pragma once

#include <optional>
#include <string>

namespace tarvik {

// An advisory lock on the Config folder itself, held for the life of the object. The
// kernel drops it when the process ends, however it ends, so a crash leaves no stale lock.
class ConfigLock {
  public:
    ConfigLock() = default;
    ~ConfigLock();
    ConfigLock(ConfigLock&& other) noexcept;
    ConfigLock& operator=(ConfigLock&& other) noexcept;

    // Takes the lock on `configDir`. Returns why not when another process holds it; a
    // folder that cannot be opened is not refused here (reading its files will say why).
    std::optional<std::string> Take(const std::string& configDir);

  private:
    int fd_ = -1;
};

}  // namespace tarvik
