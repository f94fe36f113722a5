// WS-Discovery's messages for this device: Hello, Bye, and the ProbeMatches that answers a
// Probe asking for what this device is. Plain C++ on the SOAP reader; the sockets are
// Discovery's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "XmlWriter.h"

namespace tarvik::onvif {

// A Probe's MessageID longer than this gets no answer: what is echoed stays small.
inline constexpr std::size_t kLongestMessageId = 256;

class DiscoveryMessages {
  public:
    DiscoveryMessages(std::string uuid, std::string name, std::uint16_t servicePort);

    std::string Hello(const std::string& xaddrs);
    std::string Bye();
    // The ProbeMatches for a datagram that is a matching Probe, naming the device service at
    // `localAddress` (the address the probe reached); nothing for any other datagram.
    std::optional<std::string> AnswerProbe(std::string_view datagram,
                                           const std::string& localAddress);
    std::uint16_t ServicePort() const { return servicePort_; }

  private:
    std::string Message(const char* action, const std::string& relatesTo, const Markup& body);
    Markup Description(const std::string& xaddrs) const;

    std::string uuid_;
    std::string name_;
    std::uint16_t servicePort_;
    std::uint64_t messageNumber_ = 0;
    std::uint64_t instance_ = 0;
};

// What a Probe asks for, against what this device is: its types (local names) and scopes.
bool ProbeMatches(const std::string& types, const std::string& scopes,
                  const std::string& ourScopes);
// This device's scopes, space-separated.
std::string ScopesOf(const std::string& name);

}  // namespace tarvik::onvif
