// Any datagram into WS-Discovery's probe answering, as UDP 3702 receives it. Checks: an answer
// only to a Probe, never larger than a bounded size whatever the probe echoes, always naming
// this device's service.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "DiscoveryMessages.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tarvik::onvif::DiscoveryMessages messages("00000000-0000-5000-8000-000000000000",
                                                     "Garden mount", 8899);
    const std::string_view datagram(reinterpret_cast<const char*>(data), size);
    const auto answer = messages.AnswerProbe(datagram, "10.0.0.2");
    if (!answer) return 0;
    Check(datagram.find("Probe") != std::string_view::npos);
    // The envelope's own text, and the MessageID escaped: at most six bytes for each of its 256.
    Check(answer->size() <= 2048 + 6 * tarvik::onvif::kLongestMessageId);
    Check(answer->find("http://10.0.0.2:8899/onvif/device_service") != std::string::npos);
    return 0;
}
