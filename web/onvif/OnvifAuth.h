// Who may steer: the user and password of Onvif.ini, shown either as a WS-Security
// UsernameToken in the SOAP header or as HTTP Digest (RFC 7616: MD5 or SHA-256, qop=auth).
//
// UsernameToken: digest = Base64(SHA-1(nonce + created + password)), or the password as text;
// a Created more than 5 minutes from now, or a nonce already seen within them, is refused.
// Digest: the server's nonce carries its own time and a keyed check, so that it expires after
// 5 minutes without being stored. Secrets are compared in constant time.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Soap.h"

namespace tarvik::onvif {

class OnvifAuth {
  public:
    enum class Verdict { Allowed, NoCredentials, Refused };
    using Now = std::function<std::chrono::system_clock::time_point()>;

    OnvifAuth(std::string user, std::string password, Now now = std::chrono::system_clock::now);

    // The request's credentials: the SOAP header's UsernameToken, else the HTTP
    // Authorization header (`method` and `uri` are the request's).
    Verdict Check(const XmlElement& soapHeader, const std::string& authorization,
                  const std::string& method, const std::string& uri);
    // Whether the last refusal came from WS-Security (answered with a SOAP fault, HTTP 400)
    // rather than from HTTP Digest (answered with 401 and new challenges).
    bool RefusedWsSecurity() const { return refusedWsSecurity_; }
    // The WWW-Authenticate values: SHA-256 first, then MD5, each with a fresh nonce.
    std::vector<std::string> Challenges(bool stale = false) const;

  private:
    Verdict CheckUsernameToken(const XmlElement& token);
    Verdict CheckDigest(const std::string& authorization, const std::string& method,
                        const std::string& uri);
    std::string NonceAt(std::int64_t seconds) const;
    bool FreshNonce(const std::string& nonce) const;
    bool Replayed(const std::string& nonce, std::chrono::system_clock::time_point created);

    std::string user_;
    std::string password_;
    Now now_;
    std::string secret_;  // keys the Digest nonces; new at every start
    bool refusedWsSecurity_ = false;
    bool staleDigest_ = false;
    // UsernameToken nonces seen within the window, oldest first.
    std::deque<std::pair<std::chrono::system_clock::time_point, std::string>> seen_;
    std::set<std::string> seenNonces_;
};

// Byte strings compared without an early exit, so that the time taken tells nothing.
bool SameSecret(const std::string& a, const std::string& b);

}  // namespace tarvik::onvif
