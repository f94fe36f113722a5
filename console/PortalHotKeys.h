// The shortcuts through the desktop portal (org.freedesktop.portal.GlobalShortcuts), the way
// a program gets system-wide keys on Wayland. The portal works by requests: every call
// returns at once, and its outcome arrives later as a Response signal, after the desktop has
// perhaps asked the user. So the shortcuts start pending and their states follow as they come.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>

#include "HotKeys.h"

class QDBusMessage;

namespace tarvik {

class PortalHotKeys : public QObject, public HotKeys {
    Q_OBJECT

  public:
    // A portal that has not answered a request within `answerTimeout` is said to be silent;
    // an answer that comes later still counts.
    explicit PortalHotKeys(QDBusConnection bus = QDBusConnection::sessionBus(),
                           std::chrono::milliseconds answerTimeout = std::chrono::seconds(30));
    ~PortalHotKeys() override;

    // Whether the bus has a portal that offers global shortcuts. Waits at most `timeoutMs`.
    static bool Offered(const QDBusConnection& bus, int timeoutMs = 2000);

    std::vector<ShortcutState> Register(const std::vector<ShortcutInfo>& wanted,
                                        ShortcutPressed pressed,
                                        ShortcutStatesChanged changed) override;
    void Release() override;
    std::string Backend() const override { return "desktop portal"; }

  private slots:
    void OnSessionCreated(const QDBusMessage& response);
    void OnBound(const QDBusMessage& response);
    void OnActivated(const QDBusMessage& signal);
    void OnShortcutsChanged(const QDBusMessage& signal);

  private:
    // Calls a GlobalShortcuts method that answers through a Request; `onResponse` is the
    // slot that receives the Response. Subscribes before calling, so no answer is missed.
    void Request(const QString& method, QList<QVariant> arguments, const char* onResponse);
    void WatchRequest(const QString& path, const char* onResponse);
    void BindShortcuts();
    void Fail(const std::string& why);
    void Report(std::vector<ShortcutState> states);

    QDBusConnection bus_;
    std::vector<ShortcutInfo> wanted_;
    ShortcutPressed pressed_;
    ShortcutStatesChanged changed_;
    QString session_;  // the session's object path, once created
    std::vector<ShortcutState> states_;
    std::vector<std::pair<QString, QByteArray>> watched_;  // request path, slot
    int nextToken_ = 0;
    bool registered_ = false;
    QTimer silence_;  // runs while a request waits for its answer
};

}  // namespace tarvik
