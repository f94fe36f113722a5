#include "OnvifConfig.h"

#include <sstream>

#include "Conversions.h"

namespace tarvik {
namespace {

std::string Trimmed(std::string_view text) {
    return std::string(TrimOf(text, " \t\r"));
}

// The line without its comment: '#' at its start or after a blank.
std::string_view WithoutComment(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

// A number in [min, max], or nothing.
std::optional<double> Number(const std::string& text, double min, double max) {
    const auto value = ParseDecimal(text);
    if (!value || *value < min || *value > max) return std::nullopt;
    return value;
}

class LineReader {
  public:
    LineReader(OnvifConfig& config, std::string path) : c_(config), path_(std::move(path)) {}

    // Applies one key; returns what was expected instead, or empty.
    std::string Apply(const std::string& key, const std::string& value) {
        if (key == "port") return Whole(value, 1, 65535, c_.port);
        if (key == "width") return Whole(value, 16, 16384, c_.width);
        if (key == "height") return Whole(value, 16, 16384, c_.height);
        if (key == "fov") return Real(value, 0.01, 360, c_.fov, "degrees");
        if (key == "vfov") return Real(value, 0.01, 360, c_.vfov, "degrees");
        if (key == "steps-per-degree") return Real(value, 0.001, 100000, c_.stepsPerDegree, "");
        if (key == "tilt-steps-per-degree") {
            return Real(value, 0.001, 100000, c_.tiltStepsPerDegree, "");
        }
        if (key == "user") return Text(value, c_.user);
        if (key == "password") return Text(value, c_.password);
        if (key == "name") return Text(value, c_.name);
        if (key == "stream") return Text(value, c_.stream);
        if (key == "discovery") {
            if (value != "on" && value != "off") return "on or off";
            c_.discovery = value == "on";
            return {};
        }
        return "one of the keys port, user, password, name, stream, width, height, fov, "
               "steps-per-degree, vfov, tilt-steps-per-degree, discovery";
    }

  private:
    template <typename Int>
    std::string Whole(const std::string& value, int min, int max, Int& into) {
        const auto number = ToInt32(value);
        if (!number || *number < min || *number > max || value.find('.') != std::string::npos) {
            return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
        }
        into = static_cast<Int>(*number);
        return {};
    }
    std::string Real(const std::string& value, double min, double max, std::optional<double>& into,
                     const char* unit) {
        into = Number(value, min, max);
        if (into) return {};
        std::ostringstream expected;
        expected << "a number from " << min << " to " << max << (*unit ? " " : "") << unit;
        return expected.str();
    }
    std::string Text(const std::string& value, std::string& into) {
        if (value.empty()) return "a value after the =";
        into = value;
        return {};
    }

    OnvifConfig& c_;
    std::string path_;
};

}  // namespace

std::optional<double> OnvifConfig::HalfFieldSteps() const {
    if (!fov || !stepsPerDegree) return std::nullopt;
    return *fov / 2 * *stepsPerDegree;
}

std::optional<double> OnvifConfig::HalfVerticalFieldSteps() const {
    if (!vfov || !tiltStepsPerDegree) return std::nullopt;
    return *vfov / 2 * *tiltStepsPerDegree;
}

std::variant<OnvifConfig, StartupError> ParseOnvifConfig(const std::string& path,
                                                         const std::string& text) {
    OnvifConfig config;
    LineReader reader(config, path);
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string content = Trimmed(WithoutComment(line));
        if (content.empty()) continue;
        const auto equals = content.find('=');
        const std::string where = "\"" + path + "\" line " + std::to_string(number) + ": ";
        if (equals == std::string::npos) {
            return StartupError{where + "\"" + Shown(content) + "\" is not key = value"};
        }
        const std::string key = Trimmed(std::string_view(content).substr(0, equals));
        const std::string value = Trimmed(std::string_view(content).substr(equals + 1));
        if (const std::string expected = reader.Apply(key, value); !expected.empty()) {
            return StartupError{where + Shown(key) + " = \"" + Shown(value) + "\", expected " +
                                expected};
        }
    }
    if (!config.password.empty() && config.user.empty()) {
        return StartupError{"\"" + path +
                            "\": a password without a user, expected both or neither"};
    }
    if (config.password.empty() && !config.user.empty()) {
        return StartupError{"\"" + path +
                            "\": a user without a password, expected both or neither"};
    }
    return config;
}

}  // namespace tarvik
