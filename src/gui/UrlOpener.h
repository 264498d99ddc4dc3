#pragma once

#include <functional>

class QUrl;

// Opens a file, a folder or an address with the desktop's default program.
// Tests put a handler of their own in its place to see what would be opened.
class UrlOpener
{
public:
    using Handler = std::function<bool(const QUrl &)>;

    // True when the desktop took the URL.
    static bool open(const QUrl &url);
    // Replaces the handler; an empty one restores the desktop's.
    static void setHandler(Handler handler);
};
