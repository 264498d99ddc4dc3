// Time from process start to the end of the main window's first tick (the
// settings and every engine loaded), against a bare Qt main window shown and
// its event loop running. Runs in the current directory.
//
// usage: bench_startup zindle|bare; prints the milliseconds
#include "gui/QZindleDlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    QElapsedTimer clock;
    clock.start();
    QApplication app(argc, argv);
    const bool bare = argc > 1 && !strcmp(argv[1], "bare");
    QZindleDlg *zindle = nullptr;
    QMainWindow *window = nullptr;
    if (bare)
        window = new QMainWindow;
    else
        window = zindle = new QZindleDlg;
    window->resize(640, 480);
    window->show();

    qint64 result = -1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (bare || zindle->settingsRecord()) {
            result = clock.nsecsElapsed();
            app.quit();
        }
    });
    poll.start(0);
    app.exec();
    delete window;
    printf("%.1f\n", double(result) / 1e6); // milliseconds
    return 0;
}
