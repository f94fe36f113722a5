#include "PortalHotKeys.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <algorithm>

namespace {

// One element of a(sa{sv}): a shortcut's id and its properties.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

}  // namespace

Q_DECLARE_METATYPE(PortalShortcut)

namespace tarvik {
namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");
// Names the program to a portal that cannot tell it from a sandbox; the desktop entry's id.
const QString kAppId = QStringLiteral("tarvik");

// The portal names a request's object after the caller's unique bus name and a token.
QString RequestPath(const QDBusConnection& bus, const QString& token) {
    QString sender = bus.baseService().mid(1);
    sender.replace('.', '_');
    return kPath + "/request/" + sender + "/" + token;
}

// Portals send the session handle as a string or as an object path.
QString PathOf(const QVariant& value) {
    if (value.canConvert<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path();
    return value.toString();
}

QVariantMap MapOf(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) return qdbus_cast<QVariantMap>(value);
    return value.toMap();
}

QList<PortalShortcut> ShortcutsOf(const QVariant& value) {
    if (!value.canConvert<QDBusArgument>()) return {};
    return qdbus_cast<QList<PortalShortcut>>(value.value<QDBusArgument>());
}

const char* ResponseText(uint code) {
    return code == 1 ? "refused at the desktop's prompt" : "the desktop portal ended the request";
}

std::vector<ShortcutState> AllShortcuts(const std::vector<ShortcutInfo>& wanted,
                                        ShortcutState::Kind kind, const std::string& detail) {
    std::vector<ShortcutState> states;
    for (const ShortcutInfo& info : wanted) states.push_back({info.shortcut, kind, detail, {}});
    return states;
}

// What the portal bound, in Tarvik's terms: a shortcut it left out is not held.
std::vector<ShortcutState> StatesFrom(const std::vector<ShortcutInfo>& wanted,
                                      const QList<PortalShortcut>& bound) {
    std::vector<ShortcutState> states;
    for (const ShortcutInfo& info : wanted) {
        ShortcutState state{
            info.shortcut, ShortcutState::Kind::Unavailable, "not bound by the desktop", {}};
        for (const PortalShortcut& shortcut : bound) {
            if (shortcut.id != QLatin1String(info.id)) continue;
            state.kind = ShortcutState::Kind::Held;
            state.detail.clear();
            state.trigger =
                shortcut.properties.value("trigger_description").toString().toStdString();
            if (state.trigger.empty()) state.trigger = "no key chosen yet";
        }
        states.push_back(state);
    }
    return states;
}

}  // namespace

PortalHotKeys::PortalHotKeys(QDBusConnection bus, std::chrono::milliseconds answerTimeout)
    : bus_(std::move(bus)) {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    silence_.setSingleShot(true);
    silence_.setInterval(answerTimeout);
    connect(&silence_, &QTimer::timeout, this, [this] {
        Fail("the desktop portal has not answered for " +
             std::to_string(
                 std::chrono::duration_cast<std::chrono::seconds>(silence_.intervalAsDuration())
                     .count()) +
             " seconds");
    });
}

PortalHotKeys::~PortalHotKeys() {
    Release();
}

bool PortalHotKeys::Offered(const QDBusConnection& bus, int timeoutMs) {
    if (!bus.isConnected()) return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kInterface << QStringLiteral("version");
    const QDBusReply<QDBusVariant> version = bus.call(get, QDBus::Block, timeoutMs);
    return version.isValid() && version.value().variant().toUInt() >= 1;
}

std::vector<ShortcutState> PortalHotKeys::Register(const std::vector<ShortcutInfo>& wanted,
                                                   ShortcutPressed pressed,
                                                   ShortcutStatesChanged changed) {
    wanted_ = wanted;
    pressed_ = std::move(pressed);
    changed_ = std::move(changed);
    if (!bus_.isConnected()) {
        return AllShortcuts(wanted_, ShortcutState::Kind::Unavailable, "no session bus");
    }
    registered_ = true;
    bus_.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                 SLOT(OnActivated(QDBusMessage)));
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ShortcutsChanged"), this,
                 SLOT(OnShortcutsChanged(QDBusMessage)));
    // A portal that knows host programs by this call gets it first; older ones do not have
    // it, and that is fine.
    QDBusMessage name = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.host.portal.Registry"),
        QStringLiteral("Register"));
    name << kAppId << QVariantMap{};
    bus_.asyncCall(name);
    Request(QStringLiteral("CreateSession"),
            {QVariantMap{{"session_handle_token", QStringLiteral("tarvik")}}},
            SLOT(OnSessionCreated(QDBusMessage)));
    states_ = AllShortcuts(wanted_, ShortcutState::Kind::Pending, "waiting for the desktop");
    return states_;
}

void PortalHotKeys::Request(const QString& method, QList<QVariant> arguments,
                            const char* onResponse) {
    const QString token = QStringLiteral("tarvik%1").arg(++nextToken_);
    WatchRequest(RequestPath(bus_, token), onResponse);
    QVariantMap options = arguments.last().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments.last() = options;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    silence_.start();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *finished;
                if (reply.isError()) {
                    silence_.stop();
                    Fail(reply.error().message().toStdString());
                }
            });
}

void PortalHotKeys::WatchRequest(const QString& path, const char* onResponse) {
    bus_.connect(kService, path, kRequestInterface, QStringLiteral("Response"), this, onResponse);
    watched_.emplace_back(path, onResponse);
}

void PortalHotKeys::OnSessionCreated(const QDBusMessage& response) {
    silence_.stop();
    const QList<QVariant> arguments = response.arguments();
    const uint code = arguments.value(0).toUInt();
    if (code != 0) {
        Fail(std::string("no shortcut session: ") + ResponseText(code));
        return;
    }
    session_ = PathOf(MapOf(arguments.value(1)).value(QStringLiteral("session_handle")));
    if (session_.isEmpty()) {
        Fail("the desktop portal created no shortcut session");
        return;
    }
    BindShortcuts();
}

void PortalHotKeys::BindShortcuts() {
    QList<PortalShortcut> wanted;
    for (const ShortcutInfo& info : wanted_) {
        wanted.push_back({info.id,
                          {{"description", QString::fromUtf8(info.description)},
                           {"preferred_trigger", QString::fromUtf8(info.portalTrigger)}}});
    }
    Request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(wanted), QString(),
             QVariantMap{}},
            SLOT(OnBound(QDBusMessage)));
}

void PortalHotKeys::OnBound(const QDBusMessage& response) {
    silence_.stop();
    const QList<QVariant> arguments = response.arguments();
    const uint code = arguments.value(0).toUInt();
    if (code != 0) {
        Report(AllShortcuts(wanted_, ShortcutState::Kind::Unavailable, ResponseText(code)));
        return;
    }
    Report(StatesFrom(wanted_,
                      ShortcutsOf(MapOf(arguments.value(1)).value(QStringLiteral("shortcuts")))));
}

void PortalHotKeys::OnActivated(const QDBusMessage& signal) {
    const QList<QVariant> arguments = signal.arguments();
    if (session_.isEmpty() || arguments.size() < 2) return;
    if (PathOf(arguments[0]) != session_) return;  // another program's shortcut
    const QString id = arguments[1].toString();
    for (const ShortcutInfo& info : wanted_) {
        if (id == QLatin1String(info.id) && pressed_) pressed_(info.shortcut);
    }
}

// The user changed a trigger in the desktop's settings. The signal may name only the
// shortcuts that changed; the others stay as they are.
void PortalHotKeys::OnShortcutsChanged(const QDBusMessage& signal) {
    const QList<QVariant> arguments = signal.arguments();
    if (session_.isEmpty() || arguments.size() < 2) return;
    if (PathOf(arguments[0]) != session_) return;
    const QList<PortalShortcut> changed = ShortcutsOf(arguments[1]);
    std::vector<ShortcutState> states = StatesFrom(wanted_, changed);
    for (std::size_t i = 0; i < states.size() && i < states_.size(); ++i) {
        const bool named = std::any_of(changed.begin(), changed.end(), [&](const auto& shortcut) {
            return shortcut.id == QLatin1String(wanted_[i].id);
        });
        if (!named) states[i] = states_[i];
    }
    Report(std::move(states));
}

void PortalHotKeys::Fail(const std::string& why) {
    Report(AllShortcuts(wanted_, ShortcutState::Kind::Unavailable, why));
}

void PortalHotKeys::Report(std::vector<ShortcutState> states) {
    states_ = std::move(states);
    if (changed_) changed_(states_);
}

void PortalHotKeys::Release() {
    silence_.stop();
    if (!registered_) return;
    registered_ = false;
    bus_.disconnect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                    SLOT(OnActivated(QDBusMessage)));
    bus_.disconnect(kService, kPath, kInterface, QStringLiteral("ShortcutsChanged"), this,
                    SLOT(OnShortcutsChanged(QDBusMessage)));
    for (const auto& [path, slot] : watched_) {
        bus_.disconnect(kService, path, kRequestInterface, QStringLiteral("Response"), this,
                        slot.constData());
    }
    watched_.clear();
    if (!session_.isEmpty()) {
        // Closing the session gives the shortcuts back at once, not when Tarvik's bus
        // connection ends.
        bus_.asyncCall(QDBusMessage::createMethodCall(
            kService, session_, QStringLiteral("org.freedesktop.portal.Session"),
            QStringLiteral("Close")));
        session_.clear();
    }
    pressed_ = nullptr;
    changed_ = nullptr;
}

}  // namespace tarvik
