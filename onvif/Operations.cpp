#include "Operations.h"

namespace tarvik::onvif {

Fault Sender(std::vector<std::string> subcodes, std::string reason) {
    return {"env:Sender", std::move(subcodes), std::move(reason)};
}

Fault NotSupported(std::string reason) {
    return {"env:Receiver", {"ter:ActionNotSupported"}, std::move(reason)};
}

std::optional<Fault> CheckProfile(const Call& call) {
    if (call.Arg("ProfileToken") == kProfileToken) return std::nullopt;
    return Sender({"ter:InvalidArgVal", "ter:NoProfile"}, "No such profile");
}

std::tm UtcOf(const Clock& clock) {
    const auto now = static_cast<std::time_t>(clock.UtcSeconds());
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    return utc;
}

const OperationTable::Entry* OperationTable::Find(const std::string& ns,
                                                  const std::string& name) const {
    const auto found = entries_.find({ns, name});
    return found != entries_.end() ? &found->second : nullptr;
}

}  // namespace tarvik::onvif
