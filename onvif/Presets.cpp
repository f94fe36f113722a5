#include "Presets.h"

#include <algorithm>
#include <sstream>

#include "Conversions.h"
#include "FileHelpers.h"

namespace tarvik::onvif {

std::optional<StartupError> Presets::Load() {
    const FileText read = ReadFileText(path_);
    kept_ = !read.missing;
    if (read.missing) return std::nullopt;
    if (!read.problem.empty())
        return StartupError{"\"" + path_ + "\" cannot be read: " + read.problem};
    std::istringstream lines(read.contents);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        std::istringstream fields(line);
        Preset preset;
        std::string pan, tilt;
        fields >> preset.token >> pan >> tilt;
        std::getline(fields >> std::ws, preset.name);
        const auto panValue = ToInt16(pan), tiltValue = ToInt16(tilt);
        if (!panValue || !tiltValue || preset.token.empty() || presets_.size() >= kMost ||
            Find(preset.token) != nullptr) {
            return StartupError{"\"" + path_ + "\" line " + std::to_string(number) + ": \"" +
                                Shown(line) +
                                "\", expected a new token, two positions in half-steps and a "
                                "name, at most " +
                                std::to_string(kMost) + " lines"};
        }
        preset.position = {*panValue, *tiltValue};
        presets_.push_back(preset);
    }
    return std::nullopt;
}

const Preset* Presets::Find(const std::string& token) const {
    const auto found = std::find_if(presets_.begin(), presets_.end(),
                                    [&](const Preset& p) { return p.token == token; });
    return found == presets_.end() ? nullptr : &*found;
}

const Preset* Presets::FindByName(const std::string& name) const {
    const auto found = std::find_if(presets_.begin(), presets_.end(),
                                    [&](const Preset& p) { return p.name == name; });
    return found == presets_.end() ? nullptr : &*found;
}

std::optional<std::string> Presets::Set(const std::string& token, const std::string& name,
                                        const std::array<std::int16_t, 2>& position) {
    std::string clean = name;
    for (char& c : clean) {
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    }
    for (Preset& preset : presets_) {
        if (preset.token != token) continue;
        preset.position = position;
        if (!clean.empty()) preset.name = clean;
        if (changed_) changed_();
        return token;
    }
    if (presets_.size() >= kMost) return std::nullopt;
    int next = 1;
    while (Find(std::to_string(next)) != nullptr) ++next;
    const std::string fresh = std::to_string(next);
    presets_.push_back({fresh, clean.empty() ? "Preset " + fresh : clean, position});
    if (changed_) changed_();
    return fresh;
}

bool Presets::Remove(const std::string& token) {
    if (std::erase_if(presets_, [&](const Preset& p) { return p.token == token; }) == 0) {
        return false;
    }
    if (changed_) changed_();
    return true;
}

std::string Presets::Save() const {
    if (!kept_) return {};
    std::string text;
    for (const Preset& p : presets_) {
        if (!text.empty()) text += "\r\n";
        text += p.token + " " + std::to_string(p.position[0]) + " " +
                std::to_string(p.position[1]) + " " + p.name;
    }
    const SaveOutcome outcome = WriteFileContents(path_, text);
    return outcome.saved ? std::string() : outcome.reason;
}

}  // namespace tarvik::onvif
