// What the device, media and PTZ services share: a call and its reply or fault, and the one
// table of operations they each add their rows to, by namespace and name.
#pragma once

#include <ctime>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "HttpMessage.h"
#include "Soap.h"
#include "WebPlatform.h"
#include "XmlWriter.h"

namespace tarvik::onvif {

inline constexpr const char* kDevicePath = "/onvif/device_service";
inline constexpr const char* kMediaPath = "/onvif/media_service";
inline constexpr const char* kPtzPath = "/onvif/ptz_service";
// The one profile: the media service serves it, the PTZ service moves it.
inline constexpr const char* kProfileToken = "profile_1";

// A SOAP fault: its code (env:Sender or env:Receiver), its ONVIF subcodes and the reason.
struct Fault {
    const char* code;
    std::vector<std::string> subcodes;
    std::string reason;
};

Fault Sender(std::vector<std::string> subcodes, std::string reason);
Fault NotSupported(std::string reason);
// The UTC time of day and date the clock tells.
std::tm UtcOf(const Clock& clock);

// The operation's response, or its fault.
using Reply = std::variant<Markup, Fault>;

struct Call {
    const HttpRequest& http;
    const Envelope& envelope;
    std::string base;  // http://host:port, as the client reached this server
    const XmlElement& op() const { return envelope.operation; }
    // The text of the operation's argument, empty when it is not given.
    std::string Arg(std::string_view name) const {
        const XmlElement* argument = op().Child(name);
        return argument != nullptr ? argument->text : "";
    }
};

// A fault unless the call names the one profile as its ProfileToken.
std::optional<Fault> CheckProfile(const Call& call);

// Who may call an operation, and whether a call is a line in the request log.
enum class Access {
    Open,     // answered without credentials (ONVIF's pre-authentication class)
    Login,    // answered to a user that logged in
    Changes,  // moves the mount or changes a preset: logged in, and a line in the request log
};

class OperationTable {
  public:
    struct Entry {
        std::function<Reply(const Call&)> operation;
        Access access;
    };
    // One service's operations: its member functions by name.
    template <typename Service>
    struct Row {
        const char* name;
        Reply (Service::*operation)(const Call&);
        Access access;
    };

    template <typename Service>
    void Add(const char* ns, Service& service, std::initializer_list<Row<Service>> rows) {
        for (const Row<Service>& row : rows) {
            const auto operation = row.operation;
            entries_[{ns, row.name}] = {
                [&service, operation](const Call& call) { return (service.*operation)(call); },
                row.access};
        }
    }
    // The operation of that namespace and name, or null.
    const Entry* Find(const std::string& ns, const std::string& name) const;

  private:
    std::map<std::pair<std::string, std::string>, Entry> entries_;
};

}  // namespace tarvik::onvif
