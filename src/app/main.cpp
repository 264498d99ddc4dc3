#include "gui/QZindleDlg.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int result = 0;
    {
        QZindleDlg window;
        window.resize(640, 480);
        window.show();
        result = app.exec();
    }
    return result;
}
