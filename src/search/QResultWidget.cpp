#include "search/QResultWidget.h"

#include "app/QZindleDlg.h"

#include <QTreeWidget>
#include <QVBoxLayout>

QResultWidget::QResultWidget(QZindleDlg *mainWindow) : QWidget(mainWindow), mainWindow(mainWindow)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    resultList = new QTreeWidget(this);
    resultList->setObjectName(QStringLiteral("resultList"));
    layout->addWidget(resultList);
}

QResultWidget::~QResultWidget() = default;

void QResultWidget::setSettings(Settings *settings)
{
    this->settings = settings;
}

int QResultWidget::pollSearch()
{
    return 0;
}
