#include "LoginThrottle.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace tarvik::onvif {
namespace {

constexpr int kFreeRefusals = 5;
constexpr auto kLongestSpacing = std::chrono::seconds(60);
constexpr auto kForgotten = std::chrono::minutes(15);
constexpr std::size_t kMostPeers = 4096;

std::chrono::milliseconds SpacingAfter(int refusals) {
    if (refusals < kFreeRefusals) return {};
    const int doublings = std::min(refusals - kFreeRefusals, 6);
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(1) * (1 << doublings),
                                               kLongestSpacing);
}

}  // namespace

std::string PeerGroup(const std::string& peer) {
    in6_addr address{};
    if (peer.find(':') == std::string::npos || ::inet_pton(AF_INET6, peer.c_str(), &address) != 1) {
        return peer;
    }
    std::memset(&address.s6_addr[8], 0, 8);
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET6, &address, text, sizeof text);
    return std::string(text) + "/64";
}

LoginThrottle::Record* LoginThrottle::Find(const std::string& key) {
    const auto found = peers_.find(key);
    if (found == peers_.end()) return nullptr;
    if (now_() - found->second.lastRefusal >= kForgotten) {
        peers_.erase(found);
        return nullptr;
    }
    return &found->second;
}

std::chrono::milliseconds LoginThrottle::WaitBeforeHandling(const std::string& peer) {
    Record* record = Find(PeerGroup(peer));
    if (record == nullptr || record->refusals < kFreeRefusals) return {};
    const auto now = now_();
    if (now >= record->nextTurn) {
        // Taken as if it will be refused: a second connection of the peer waits a whole turn.
        record->nextTurn = now + SpacingAfter(record->refusals + 1);
        return {};
    }
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(record->nextTurn - now),
                    std::chrono::milliseconds(1));
}

int LoginThrottle::Refused(const std::string& peer) {
    const std::string key = PeerGroup(peer);
    Record* record = Find(key);
    if (record == nullptr) {
        MakeRoom();
        record = &peers_[key];
    }
    const auto now = now_();
    ++record->refusals;
    record->lastRefusal = now;
    record->nextTurn = std::max(record->nextTurn, now + SpacingAfter(record->refusals));
    return record->refusals;
}

void LoginThrottle::LoggedIn(const std::string& peer) {
    peers_.erase(PeerGroup(peer));
}

std::chrono::milliseconds LoginThrottle::Spacing(const std::string& peer) const {
    const auto found = peers_.find(PeerGroup(peer));
    return found == peers_.end() ? std::chrono::milliseconds{}
                                 : SpacingAfter(found->second.refusals);
}

// Forgotten peers go first; then, when a flood of addresses fills the table, the one whose
// last refusal is oldest.
void LoginThrottle::MakeRoom() {
    if (peers_.size() < kMostPeers) return;
    const auto now = now_();
    std::erase_if(peers_,
                  [&](const auto& entry) { return now - entry.second.lastRefusal >= kForgotten; });
    if (peers_.size() < kMostPeers) return;
    const auto oldest = std::min_element(
        peers_.begin(), peers_.end(),
        [](const auto& a, const auto& b) { return a.second.lastRefusal < b.second.lastRefusal; });
    peers_.erase(oldest);
}

}  // namespace tarvik::onvif
