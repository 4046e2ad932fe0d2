// Build-time helper: writes a square PNG copy of an image at one size, for
// the icon theme's fixed-size folders.
//
//   tarnvik-iconscale <source image> <output png> <size>
#include <QCoreApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool ok = false;
    const int size = args.size() == 4 ? args.at(3).toInt(&ok) : 0;
    if (!ok || size <= 0) {
        std::fprintf(stderr, "usage: tarnvik-iconscale <source image> <output png> <size>\n");
        return 2;
    }
    const QImage source(args.at(1));
    if (source.isNull()) {
        std::fprintf(stderr, "tarnvik-iconscale: cannot read %s\n", qPrintable(args.at(1)));
        return 1;
    }
    const QImage scaled = source.convertToFormat(QImage::Format_ARGB32)
                              .scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    // A source that is not square is centred on a transparent square.
    QImage icon(size, size, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    painter.drawImage((size - scaled.width()) / 2, (size - scaled.height()) / 2, scaled);
    painter.end();
    if (!icon.save(args.at(2), "PNG")) {
        std::fprintf(stderr, "tarnvik-iconscale: cannot write %s\n", qPrintable(args.at(2)));
        return 1;
    }
    return 0;
}
