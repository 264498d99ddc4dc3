#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;
class Settings;

// The settings dialog: edits the eleven settings. Apply copies the widgets into
// the record and marks it modified, so it is written at exit; Undo copies
// the record back into the widgets. Created once by the main window and shown
// again on every later request, keeping edits that were not applied.
class QSettingDlg : public QDialog
{
    Q_OBJECT

public:
    explicit QSettingDlg(QWidget *parent);

    // Binds the record and fills the widgets from it.
    void setSettings(Settings *settings);

signals:
    // The record holds the dialog's values.
    void applied();

protected slots:
    void apply();
    // Refills the widgets. Values applied before stay in force and are
    // written at exit: the modified flag is left as it is.
    void undo();

private:
    QLineEdit *workDirEdit = nullptr;
    QLineEdit *proxyEdit = nullptr;
    QLineEdit *portEdit = nullptr;
    QLineEdit *userIdEdit = nullptr;
    QLineEdit *passwordEdit = nullptr;
    QComboBox *timeoutBox = nullptr;
    QComboBox *htmlViewBox = nullptr;
    QComboBox *cacheBox = nullptr;
    QComboBox *playModeBox = nullptr;
    QComboBox *userAgentBox = nullptr;
    QComboBox *jobsBox = nullptr;        // rows downloaded at once: entry i is i + 1
    QComboBox *connectionsBox = nullptr; // connections per video: entry i is i + 1
    Settings *settings = nullptr;
};
