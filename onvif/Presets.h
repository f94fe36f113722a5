// Presets: named positions of every axis, kept in Config/Presets.ini by the position file's
// rules (only when that file exists; atomically; a link followed; a failure said). One line
// each: the token, the pan and tilt positions in half-steps, then the name:
//
//   1 120 0 Garden gate
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ConfigFiles.h"

namespace tarvik::onvif {

struct Preset {
    std::string token;
    std::string name;
    std::array<std::int16_t, 2> position{0, 0};
};

class Presets {
  public:
    static constexpr std::size_t kMost = 64;

    explicit Presets(std::string path) : path_(std::move(path)) {}

    // Reads the file; a missing one leaves the presets unkept (in memory only). A bad line
    // stops start-up naming it.
    std::optional<StartupError> Load();
    bool Kept() const { return kept_; }
    const std::string& Path() const { return path_; }

    const std::vector<Preset>& All() const { return presets_; }
    const Preset* Find(const std::string& token) const;
    const Preset* FindByName(const std::string& name) const;
    // Sets a new preset (empty token) or replaces one; the token, or nullopt when all are
    // taken. An unknown token is the caller's to refuse.
    std::optional<std::string> Set(const std::string& token, const std::string& name,
                                   const std::array<std::int16_t, 2>& position);
    bool Remove(const std::string& token);
    // Writes the file; why not, or empty (nothing is written while unkept).
    std::string Save() const;
    // Called after every change, whoever made it, so that every view shows the same list.
    void OnChange(std::function<void()> changed) { changed_ = std::move(changed); }

  private:
    std::string path_;
    bool kept_ = false;
    std::vector<Preset> presets_;
    std::function<void()> changed_;
};

}  // namespace tarvik::onvif
