// The device service (ver10): what the device is, where its services are, its time and its
// network interfaces.
#pragma once

#include <array>
#include <string>

#include "OnvifConfig.h"
#include "Operations.h"
#include "PtzControl.h"
#include "WebPlatform.h"

namespace tarvik::onvif {

// What names this device: its serial number, its endpoint's UUID and the hardware address
// its network interfaces report (all stable across restarts, different for each camera, so
// that NVRs and Home Assistant, which key a device by them, keep two mounts apart), and the
// host's name.
struct DeviceIdentity {
    std::string serial;
    std::string uuid;
    std::string hostname;
    std::array<unsigned char, 6> hwAddress{};
};

// "02:1f:…": the identity's address, its last byte counted on by the interface's ordinal so
// that two interfaces do not share one.
std::string HwAddressText(const std::array<unsigned char, 6>& address, unsigned ordinal);

// The device service's capabilities element, as GetServices nests it.
Markup DeviceServiceCapabilities();

class DeviceService {
  public:
    DeviceService(const OnvifConfig& config, const PtzControl& ptz, const Clock& clock,
                  DeviceIdentity identity);

    void AddTo(OperationTable& table);

  private:
    Reply GetSystemDateAndTime(const Call& call);
    Reply GetDeviceInformation(const Call& call);
    Reply GetCapabilities(const Call& call);
    Reply GetServices(const Call& call);
    Reply GetServiceCapabilities(const Call& call);
    Reply GetScopes(const Call& call);
    Reply GetHostname(const Call& call);
    Reply GetNetworkInterfaces(const Call& call);
    Reply GetEndpointReference(const Call& call);
    Reply GetWsdlUrl(const Call& call);

    const OnvifConfig& config_;
    const PtzControl& ptz_;
    const Clock& clock_;
    DeviceIdentity identity_;
};

}  // namespace tarvik::onvif
