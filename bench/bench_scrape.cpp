// The result scan over a 131072-byte page with 400 hits, over the same page
// with a field marker that is never found (every search of that field runs
// to the end of the page), and over a 2 MiB page of 1000 hits spread through
// it, as big real result pages are. Prints microseconds per page.
//
// usage: bench_scrape [hits|missing|big] [ITERATIONS]
#include "core/extract/ResultScan.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// `spread` pads every hit with markup the scan has to pass over, so the
// hits fill the whole page.
QByteArray makePage(int hits, qsizetype size, bool spread = false)
{
    const QByteArray padding =
        spread ? "<div class=\"pad\">" + QByteArray(size / hits - 330, ' ') + "</div>\n"
               : QByteArray();
    QByteArray page = "<html><body><ul>\n";
    for (int i = 0; i < hits; ++i) {
        page += padding;
        page += "<li class=\"hit\" data-n=\"" + QByteArray::number(i) + "\"><img src=\"/t/" +
                QByteArray::number(i) + ".jpg\"><span class=\"title\">Video <b>" +
                QByteArray::number(i) + "</b> &amp; friends</span><span class=\"time\">1:" +
                QByteArray::number(10 + i % 50) + "</span><span class=\"user\">user" +
                QByteArray::number(i % 37) + "</span><span class=\"id\">v" +
                QByteArray::number(100000 + i) + "</span></li>\n";
    }
    page += "</ul>";
    if (page.size() < size - 15)
        page += QByteArray(size - 15 - page.size(), ' ');
    page += "</body></html>\n";
    return page.left(size);
}

MarkerSet markers(bool missing)
{
    MarkerSet set;
    set.top[0] = "<li class=\"hit\"";
    set.top[1] = ">";
    set.id[0] = "<span class=\"id\">";
    set.id[1] = "</span>";
    set.title[0] = "<span class=\"title\">";
    set.title[1] = "</span>";
    set.user[0] = missing ? "<span class=\"uploader\">" : "<span class=\"user\">";
    set.user[1] = "</span>";
    set.image[0] = "<img src=\"";
    set.image[1] = "\"";
    set.time[0] = "<span class=\"time\">";
    set.time[1] = "</span>";
    return set;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool missing = argc > 1 && !strcmp(argv[1], "missing");
    const bool big = argc > 1 && !strcmp(argv[1], "big");
    const int iterations = argc > 2 ? atoi(argv[2]) : 50;
    const QByteArray page = big ? makePage(1000, 2 * 1024 * 1024, true) : makePage(400, 131072);
    const MarkerSet set = markers(missing);

    // The traces are part of the cost, but not the terminal's.
    if (!freopen("/dev/null", "w", stderr))
        return 1;

    std::vector<double> micros;
    qsizetype records = 0;
    for (int i = 0; i < iterations; ++i) {
        QElapsedTimer timer;
        timer.start();
        records = scanResults(page, set).size();
        micros.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::sort(micros.begin(), micros.end());
    printf("%s page: %lld bytes, %lld records, median %.0f us per page (%d runs)\n",
           missing ? "missing-marker"
           : big   ? "1000-hit 2 MiB"
                   : "400-hit",
           qlonglong(page.size()), qlonglong(records), micros[micros.size() / 2], iterations);
    return 0;
}
