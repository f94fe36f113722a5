#include "Configuration.h"

#include "FileHelpers.h"

namespace tarvik {
namespace {

// Onvif.ini and its presets, nothing without the file, or what stops start-up.
std::optional<StartupError> LoadOnvif(const std::string& baseDir, Configuration& into) {
    const std::string path = baseDir + files::kOnvif;
    const FileText read = ReadFileText(path);
    if (read.missing) return std::nullopt;
    if (!read.problem.empty()) {
        return StartupError{"\"" + path + "\" cannot be read: " + read.problem};
    }
    auto parsed = ParseOnvifConfig(path, read.contents);
    if (auto* error = std::get_if<StartupError>(&parsed)) return *error;
    into.onvif = std::get<OnvifConfig>(std::move(parsed));
    return into.presets.emplace(baseDir + files::kPresets).Load();
}

}  // namespace

std::variant<Configuration, StartupError> LoadConfiguration(const std::string& baseDir) {
    Configuration c;
    auto drive = LoadDriveSettings(baseDir);
    if (auto* error = std::get_if<StartupError>(&drive)) return *error;
    c.drive = std::get<DriveSettings>(std::move(drive));
    if (auto error = LoadOnvif(baseDir, c)) return *error;
    auto port = ReadWholeNumber(baseDir + files::kPort, 0, 65535);
    if (auto* error = std::get_if<StartupError>(&port)) return *error;
    c.port = static_cast<std::uint16_t>(std::get<std::int32_t>(port));
    auto address = ReadListenAddress(baseDir);
    if (auto* error = std::get_if<StartupError>(&address)) return *error;
    c.listenAddress = std::get<std::string>(std::move(address));
    c.pages = LoadPages(baseDir);
    return c;
}

}  // namespace tarvik
