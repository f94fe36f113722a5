#include "WebPlatform.h"

#include "Conversions.h"

namespace tarvik {

std::string LogLine(const Clock& clock, const Connection& connection, std::string_view text) {
    const std::string time = clock.TimeOfDay();
    const std::string peer = connection.PeerText();
    std::string line;
    line.reserve(time.size() + peer.size() + text.size() + 4);
    line.append("[").append(time).append("] ").append(peer).append(" ").append(text);
    return line;
}

std::string EscapeControlBytes(std::string_view text) {
    return EscapeBytes(text, false);
}

}  // namespace tarvik
