// WS-Discovery on UDP 3702: Probe messages (to the group 239.255.255.250 on every interface,
// or sent straight to this host) are answered with a ProbeMatch naming the device service;
// Hello is said at start and Bye at the end.
#pragma once

#include <QObject>
#include <cstdint>
#include <string>

class QSocketNotifier;

namespace tarvik::onvif {

class Discovery : public QObject {
  public:
    Discovery(std::string uuid, std::string name, std::uint16_t servicePort);
    ~Discovery() override;

    // Listens and says Hello; why not, or empty.
    std::string Start();
    // Says Bye, once.
    void Stop();

  private:
    void OnReadable();
    std::string Message(const char* action, const std::string& relatesTo, const std::string& body);
    std::string Description(const std::string& xaddrs) const;
    void SendToGroup(const std::string& message);

    std::string uuid_;
    std::string name_;
    std::uint16_t servicePort_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    std::uint64_t messageNumber_ = 0;
    std::uint64_t instance_ = 0;
    bool helloSaid_ = false;
};

// What a Probe asks for, against what this device is: its types (local names) and scopes.
bool ProbeMatches(const std::string& types, const std::string& scopes,
                  const std::string& ourScopes);
// This device's scopes, space-separated.
std::string ScopesOf(const std::string& name);

}  // namespace tarvik::onvif
