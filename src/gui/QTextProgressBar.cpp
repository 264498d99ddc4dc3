#include "gui/QTextProgressBar.h"

QTextProgressBar::QTextProgressBar(QWidget *parent) : QProgressBar(parent)
{
    setRange(0, 100);
    setValue(0);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
    connect(this, &QProgressBar::valueChanged, this, [this] {
        shownText = barText;
        update();
    });
}

QString QTextProgressBar::text() const
{
    return shownText;
}
