#include "core/config/Settings.h"
#include "core/job/Trace.h"
#include "gui/QZindleDlg.h"
#include "gui/workbench/QEngineWorkbench.h"

#include <QApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
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
