#pragma once

#include <QDialog>

class CtrlButton;
class QComboBox;
class QLineEdit;
class QPushButton;
class QStatusBar;

// The modal dialog in which a search is set up: engine, mode and page
// selectors, the word, one button that starts or cancels, and a status line
// on top. The result tab connects the button and reads the inputs.
class QSearchDlg : public QDialog
{
    Q_OBJECT

public:
    explicit QSearchDlg(QWidget *parent = nullptr);

    // -1 while the selector is empty.
    int engineIndex() const;
    int modeIndex() const;
    int pageIndex() const;
    // Stores the word as local 8-bit text in `out`; returns its length in bytes.
    int searchWord(QByteArray &out) const;
    // Appends a selector entry; a null title adds nothing and returns 0, else 1.
    int addEngine(const char *title);
    QPushButton *searchButton() const;
    // Sets the text and then CTRL+L again, in place of the ALT key of the & mark.
    void setSearchButtonText(const QString &text);

    QStatusBar *statusBar = nullptr;

protected slots:
    void incEngine();
    void decEngine();
    void incMode();
    void decMode();
    void incPage();
    void decPage();

private:
    QComboBox *engineBox = nullptr;
    QComboBox *modeBox = nullptr;
    QComboBox *pageBox = nullptr;
    QLineEdit *wordEdit = nullptr;
    CtrlButton *actionButton = nullptr;
};
