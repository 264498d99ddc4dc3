#pragma once

#include <QDialog>

class Settings;

// The settings dialog: edits the ten settings; Apply copies the widgets into
// the record, Undo copies the record back into the widgets.
class QSettingDlg : public QDialog
{
    Q_OBJECT

public:
    explicit QSettingDlg(QWidget *parent);

    void setSettings(Settings *settings);

protected slots:
    void apply();
    void undo();

private:
    Settings *settings = nullptr;
};
