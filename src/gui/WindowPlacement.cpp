#include "gui/WindowPlacement.h"

#include <QtGlobal>

QRect WindowPlacement::fitted(const QRect &stored, const QList<QRect> &screens)
{
    if (!stored.isValid() || screens.isEmpty())
        return {};
    const QRect *screen = &screens.first();
    qint64 bestArea = 0;
    for (const QRect &candidate : screens) {
        const QRect common = candidate.intersected(stored);
        const qint64 area = qint64(common.width()) * common.height();
        if (area > bestArea) {
            bestArea = area;
            screen = &candidate;
        }
    }
    const int width = qBound(qMin(MinWidth, screen->width()), stored.width(), screen->width());
    const int height = qBound(qMin(MinHeight, screen->height()), stored.height(), screen->height());
    if (bestArea == 0) {
        return QRect(screen->x() + (screen->width() - width) / 2,
                     screen->y() + (screen->height() - height) / 2, width, height);
    }
    const int x = qBound(screen->left(), stored.x(), screen->left() + screen->width() - width);
    const int y = qBound(screen->top(), stored.y(), screen->top() + screen->height() - height);
    return QRect(x, y, width, height);
}
