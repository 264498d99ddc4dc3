#pragma once

#include <QString>
#include <functional>

class QWidget;

// Tells the user something while the window is in the background: through
// the system tray where there is one, else through the desktop's
// notification service on the session bus (org.freedesktop.Notifications)
// when the bus is there. The GUI thread only, and it never waits for an
// answer. Tests put a handler of their own in its place.
class DesktopNotifier
{
public:
    using Handler = std::function<void(const QString &title, const QString &text)>;

    // `window` owns the tray icon and lends it its icon.
    static void notify(QWidget *window, const QString &title, const QString &text);
    // Replaces the handler; an empty one restores the desktop's.
    static void setHandler(Handler handler);
};
