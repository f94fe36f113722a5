// What request handling needs of the socket layer and the system.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <sys/socket.h>

namespace tarvik {

// One accepted connection. A reply may be queued in several pieces; they go out in order.
class Connection {
  public:
    virtual ~Connection() = default;
    // Bytes that stay valid and unchanged for as long as the server runs, such as the pages
    // read at start-up: they are sent from where they are, never copied.
    virtual void SendLasting(std::string_view bytes) = 0;
    // Bytes shared with other connections; freed when the last of them is done.
    virtual void SendShared(std::shared_ptr<const std::string> bytes) = 0;
    // Text that names the peer in log lines: its IP address.
    virtual std::string PeerText() const = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    // Local time of day as hh:mm:ss, 24-hour.
    virtual std::string TimeOfDay() const = 0;
    // The time as seconds since 1970-01-01 00:00 UTC.
    virtual std::int64_t UtcSeconds() const = 0;
};

// "[" + time + "] " + peer + " " + text: the layout of every log line.
std::string LogLine(const Clock& clock, std::string_view peer, std::string_view text);
// The same for the connection's peer.
std::string LogLine(const Clock& clock, const Connection& connection, std::string_view text);

// Text for a log line, with control bytes shown escaped (\n, \r, \t, \x1B): what a client
// sends can neither forge a line nor reach a terminal that shows the log.
std::string EscapeControlBytes(std::string_view text);

// The peer's IP address as log lines show it; an IPv4 peer on a dual-stack socket is shown
// in dotted form.
std::string PeerTextOf(const sockaddr_storage& peer);

// The port of an IPv4 or IPv6 address, in host order.
std::uint16_t PortOf(const sockaddr_storage& address);

// The address and port a socket is bound to; all zero when it cannot be told.
sockaddr_storage LocalAddressOf(int fd);

inline constexpr std::string_view kCrLf = "\r\n";

}  // namespace tarvik
