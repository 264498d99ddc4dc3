#include "core/BuildInfo.h"
#include "core/config/Settings.h"
#include "core/job/Trace.h"
#include "gui/QZindleDlg.h"
#include "gui/workbench/QEngineWorkbench.h"

#include <QApplication>
#include <QIcon>
#include <QStringList>
#include <cstdio>
#include <cstring>

namespace {

// Answered before the QApplication exists, so that they work without a display.
bool printInfo(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zindle %s\n", ZINDLE_VERSION);
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs("usage: zindle [--workbench [FILE]]\n"
                       "Opens the Zindle window in the current directory, with its \"z_user.ini\"\n"
                       "and \".zindles\".\n"
                       "  --workbench [FILE]  open the window for writing one engine file\n"
                       "  --help              show this text\n"
                       "  --version           print \"zindle VERSION\"\n",
                       stdout);
            return true;
        }
    }
    return false;
}

QIcon appIcon()
{
    // The SVG scales to any size; the rendered PNGs stand in where no SVG
    // icon engine is installed.
    QIcon icon(QStringLiteral(":/icons/zindle.svg"));
    icon.addFile(QStringLiteral(":/icons/zindle-48.png"));
    icon.addFile(QStringLiteral(":/icons/zindle-256.png"));
    return icon;
}

} // namespace

int main(int argc, char *argv[])
{
    if (printInfo(argc, argv))
        return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zindle"));
    QApplication::setApplicationVersion(QStringLiteral(ZINDLE_VERSION));
    QApplication::setWindowIcon(appIcon());
    // Lets the desktop match the windows with the installed .desktop file and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(ZINDLE_APP_ID));
    int result = 0;
    // "--workbench [FILE]": the window for writing one engine file.
    const QStringList arguments = app.arguments();
    const qsizetype workbench = arguments.indexOf(QStringLiteral("--workbench"));
    if (workbench > 0) {
        // The window shows every cut; a trace of each edit's scan would only flood the terminal.
        Trace::setEnabled(false);
        Settings settings;
        QEngineWorkbench window(&settings);
        if (workbench + 1 < arguments.size())
            window.openEngine(arguments[workbench + 1]);
        window.resize(1200, 800);
        window.show();
        return app.exec();
    }
    {
        QZindleDlg window;
        window.resize(640, 480);
        window.show();
        result = app.exec();
    }
    return result;
}
