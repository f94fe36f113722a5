// A whole Config directory made of the input: start-up either names a file or yields
// settings that the motor and the scroll bar can take.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ConfigFiles.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

const std::string& BaseDir() {
    static const std::string dir = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvik-fuzz-XXXXXX").string();
        std::string made = ::mkdtemp(pattern.data());
        std::filesystem::create_directory(made + "/Config");
        return made;
    }();
    return dir;
}

// The input is the eight files' contents separated by NUL bytes; a part that is missing
// leaves its file out.
void WriteFiles(const std::string& input) {
    static const char* kFiles[] = {tarvik::files::kLpt,        tarvik::files::kMiddleStep,
                                   tarvik::files::kMaxStep,    tarvik::files::kMinStep,
                                   tarvik::files::kTotalSteps, tarvik::files::kStepCount,
                                   tarvik::files::kBigStep,    tarvik::files::kPort};
    std::size_t start = 0;
    for (const char* file : kFiles) {
        const std::string path = BaseDir() + file;
        std::filesystem::remove(path);
        if (start > input.size()) continue;
        const std::size_t end = std::min(input.find('\0', start), input.size());
        std::ofstream(path, std::ios::binary) << input.substr(start, end - start);
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WriteFiles(std::string(reinterpret_cast<const char*>(data), size));
    const auto result = tarvik::LoadDriveSettings(BaseDir());
    if (const auto* error = std::get_if<tarvik::StartupError>(&result)) {
        Check(error->file.rfind("Config/", 0) == 0);
        Check(!error->Message().empty());
    } else {
        const auto& s = std::get<tarvik::DriveSettings>(result);
        Check(s.UpperStep + 1 <= 32767 && s.LowerStep - 1 >= -32768);
        Check(s.LowerStep - 1 <= s.UpperStep + 1);
        Check(s.TotalSteps >= s.LowerStep - 1 && s.TotalSteps <= s.UpperStep + 1);
        Check(s.BigStep != -32768);
        Check(s.portAddress || s.StepPhase < 1 || s.StepPhase > 8);
    }
    const auto port = tarvik::ReadWholeNumber(BaseDir(), tarvik::files::kPort, 0, 65535);
    if (const auto* value = std::get_if<std::int32_t>(&port)) Check(*value >= 0 && *value <= 65535);
    return 0;
}
