// Any bytes through the SOAP reader: it returns an envelope or a reason, within its bounds,
// and the operation of an envelope has a name.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "Soap.h"

namespace {

int Count(const tarvik::onvif::XmlElement& element, int depth) {
    if (depth > tarvik::onvif::kMaxDepth) std::abort();
    int count = 1;
    for (const auto& child : element.children) count += Count(child, depth + 1);
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto parsed = tarvik::onvif::ParseEnvelope(bytes);
    if (auto* envelope = std::get_if<tarvik::onvif::Envelope>(&parsed)) {
        if (envelope->operation.name.empty()) std::abort();
        if (Count(envelope->operation, 1) + Count(envelope->header, 1) >
            tarvik::onvif::kMaxElements + 2) {
            std::abort();
        }
    } else if (std::get<std::string>(parsed).empty()) {
        std::abort();
    }
    return 0;
}
