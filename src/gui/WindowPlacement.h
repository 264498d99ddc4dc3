#pragma once

#include <QList>
#include <QRect>

// Where a remembered window geometry goes on the screens there are now.
namespace WindowPlacement {

// A window smaller than this (or than its screen) is made this large.
constexpr int MinWidth = 200;
constexpr int MinHeight = 150;

// `stored` fitted into one of `screens` (their available areas, the primary
// one first): the screen it overlaps most, shrunk to that screen when larger,
// and moved inside it. A window that overlaps no screen is centred on the
// primary one. A null rect (leave the window where it is) when nothing is
// stored or there is no screen.
QRect fitted(const QRect &stored, const QList<QRect> &screens);

} // namespace WindowPlacement
