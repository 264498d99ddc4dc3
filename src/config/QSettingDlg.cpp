#include "config/QSettingDlg.h"

#include "config/Settings.h"

QSettingDlg::QSettingDlg(QWidget *parent) : QDialog(parent)
{
    setModal(true);
}

void QSettingDlg::setSettings(Settings *settings)
{
    this->settings = settings;
    undo();
}

void QSettingDlg::apply()
{
    if (settings)
        settings->setModified(true);
}

void QSettingDlg::undo()
{
    if (settings)
        settings->setModified(false);
}
