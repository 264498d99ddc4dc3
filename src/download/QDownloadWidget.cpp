#include "download/QDownloadWidget.h"

#include "app/QZindleDlg.h"

#include <QTreeWidget>
#include <QVBoxLayout>

QDownloadWidget::QDownloadWidget(QZindleDlg *mainWindow)
    : QWidget(mainWindow), mainWindow(mainWindow)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    list = new QTreeWidget(this);
    list->setObjectName(QStringLiteral("listView"));
    layout->addWidget(list);
}

QDownloadWidget::~QDownloadWidget() = default;

void QDownloadWidget::loadList(Settings *settings)
{
    this->settings = settings;
}

void QDownloadWidget::saveList() {}

int QDownloadWidget::pollWorker(int *endCode)
{
    *endCode = 0;
    return 0;
}
