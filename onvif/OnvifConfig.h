// Config/Onvif.ini: the optional ONVIF way in. Key = value lines; a '#' at a line's start or
// after a blank begins a comment; any key may be left out.
//
//   port = 8899                  TCP port of the ONVIF services
//   user = admin                 with password: every operation but the few open to anyone
//   password = secret              needs them (WS-Security UsernameToken or HTTP Digest)
//   name = Garden mount          shown by discovery and GetDeviceInformation
//   stream = rtsp://…            the camera's own stream, returned by GetStreamUri
//   width = 1920, height = 1080  the stream's size, reported in the profile
//   fov = 62.2                   the lens's horizontal field of view in degrees
//   steps-per-degree = 11.38     half-steps per degree of pan
//   vfov, tilt-steps-per-degree  the same for the tilt
//   discovery = on               WS-Discovery on UDP 3702
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "ConfigFiles.h"

namespace tarvik {

struct OnvifConfig {
    std::uint16_t port = 8899;
    std::string user;
    std::string password;
    std::string name = "tarvik";
    std::string stream;
    int width = 1920;
    int height = 1080;
    std::optional<double> fov;
    std::optional<double> stepsPerDegree;
    std::optional<double> vfov;
    std::optional<double> tiltStepsPerDegree;
    bool discovery = true;

    bool Authenticates() const { return !user.empty(); }
    // Half-steps that half the field of view spans, where both figures are set.
    std::optional<double> HalfFieldSteps() const;
    std::optional<double> HalfVerticalFieldSteps() const;
};

// The text of Onvif.ini, read; a bad line is a StartupError naming the file (`path`), the line
// and what was expected.
std::variant<OnvifConfig, StartupError> ParseOnvifConfig(const std::string& path,
                                                         const std::string& text);

}  // namespace tarvik
