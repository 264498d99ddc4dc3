#include "gui/DesktopNotifier.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QIcon>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVariantMap>
#include <QWidget>

namespace {

constexpr int ShownMs = 10000;

DesktopNotifier::Handler &handler()
{
    static DesktopNotifier::Handler current;
    return current;
}

void showInTray(QWidget *window, const QString &title, const QString &text)
{
    auto *tray = window->findChild<QSystemTrayIcon *>(QStringLiteral("notifierTray"));
    if (!tray) {
        tray = new QSystemTrayIcon(window);
        tray->setObjectName(QStringLiteral("notifierTray"));
        QIcon icon = window->windowIcon();
        if (icon.isNull())
            icon = window->style()->standardIcon(QStyle::SP_ArrowDown);
        tray->setIcon(icon);
        tray->setToolTip(window->windowTitle());
        QObject::connect(tray, &QSystemTrayIcon::activated, window, [window] {
            window->showNormal();
            window->raise();
            window->activateWindow();
        });
    }
    tray->show();
    tray->showMessage(title, text, QSystemTrayIcon::Information, ShownMs);
    // The icon is there for the message only.
    QTimer::singleShot(ShownMs, tray, &QSystemTrayIcon::hide);
}

void sendToBus(const QString &title, const QString &text)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QApplication::applicationDisplayName() << uint(0) << QStringLiteral("zindle") << title
         << text << QStringList() << QVariantMap() << int(ShownMs);
    // Sent without waiting: a missing service answers with an error nobody reads.
    bus.send(call);
}

} // namespace

void DesktopNotifier::notify(QWidget *window, const QString &title, const QString &text)
{
    if (handler()) {
        handler()(title, text);
        return;
    }
    if (QSystemTrayIcon::isSystemTrayAvailable() && QSystemTrayIcon::supportsMessages())
        showInTray(window, title, text);
    else
        sendToBus(title, text);
    QApplication::alert(window);
}

void DesktopNotifier::setHandler(Handler replacement)
{
    handler() = std::move(replacement);
}
