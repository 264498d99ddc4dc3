// render_icon SVG PNG SIZE: draws the SVG into a transparent SIZE x SIZE PNG.
// The build runs it for the icon sizes the desktop looks for.

#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fputs("usage: render_icon SVG PNG SIZE\n", stderr);
        return 2;
    }
    bool ok = false;
    const int size = QByteArray(argv[3]).toInt(&ok);
    if (!ok || size < 1 || size > 4096) {
        std::fprintf(stderr, "render_icon: bad size \"%s\"\n", argv[3]);
        return 2;
    }
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "render_icon: cannot read %s\n", argv[1]);
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
    }
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "render_icon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
