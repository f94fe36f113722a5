// The media service (ver10): the one profile, its video source and where its stream is.
#pragma once

#include "OnvifConfig.h"
#include "Operations.h"

namespace tarvik::onvif {

class PtzService;

// The media service's capabilities element, as GetServices nests it.
Markup MediaServiceCapabilities();

class MediaService {
  public:
    // The profile holds the PTZ service's configuration.
    MediaService(const OnvifConfig& config, const PtzService& ptz);

    void AddTo(OperationTable& table);

  private:
    Reply GetServiceCapabilities(const Call& call);
    Reply GetProfiles(const Call& call);
    Reply GetProfile(const Call& call);
    Reply GetVideoSources(const Call& call);
    Reply GetStreamUri(const Call& call);
    Reply GetSnapshotUri(const Call& call);

    // The profile as the element `element` (trt:Profiles in a list, trt:Profile alone).
    Markup Profile(const char* element) const;

    const OnvifConfig& config_;
    const PtzService& ptz_;
};

}  // namespace tarvik::onvif
