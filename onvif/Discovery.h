// WS-Discovery on UDP 3702: Probe messages (to the group 239.255.255.250 on every interface,
// or sent straight to this host) are answered with a ProbeMatch naming the device service;
// Hello is said at start and Bye at the end.
//
// What a probe may cost is bounded, so that no one can use the mount to flood a third party
// (a probe names its own sender) nor slow the turns:
// - a probe to the group is answered after a random delay of up to 500 ms (APP_MAX_DELAY),
//   so that the devices of a network do not all answer at once; one sent straight here, at
//   once;
// - at most 20 datagrams a second are read from one source and 250 a second in all; the rest
//   are dropped unread, before the XML reader sees them.
#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>

#include "DiscoveryMessages.h"

class QSocketNotifier;

namespace tarvik::onvif {

struct DiscoveryLimits {
    std::uint16_t port = 3702;
    int perSourcePerSecond = 20;
    int totalPerSecond = 250;
    std::chrono::milliseconds longestDelay{500};
};

class Discovery : public QObject {
  public:
    Discovery(std::string uuid, std::string name, std::uint16_t servicePort,
              DiscoveryLimits limits = {});
    ~Discovery() override;

    // Listens and says Hello; why not, or empty.
    std::string Start();
    // Says Bye, once.
    void Stop();
    std::uint16_t LocalPort() const;

  private:
    void OnReadable();
    bool Admitted(const std::string& source);
    void SendToGroup(const std::string& message);

    DiscoveryMessages messages_;
    DiscoveryLimits limits_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    bool helloSaid_ = false;
    // Datagrams read in the current second, in all and by source.
    std::chrono::steady_clock::time_point windowStart_;
    int readInWindow_ = 0;
    std::map<std::string, int> readBySource_;
    std::minstd_rand random_;  // the delays of answers to the group
};

}  // namespace tarvik::onvif
