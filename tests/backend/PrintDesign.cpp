// Prints a design through QPrinter to a CUPS queue, as a design application
// does: a page of a custom size, nothing scaled, a filled 50 x 20 mm rectangle
// 10 mm from the left and bottom edges.
//   zek-print-design QUEUE WIDTH-MM HEIGHT-MM TITLE
// CUPS_SERVER chooses the cupsd; QT_QPA_PLATFORM=offscreen runs it headless.
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s QUEUE WIDTH-MM HEIGHT-MM TITLE\n", argv[0]);
        return 2;
    }
    const QSizeF size(QString(argv[2]).toDouble(), QString(argv[3]).toDouble());

    QPrinter printer(QPrinter::HighResolution);
    printer.setPrinterName(QString::fromLocal8Bit(argv[1]));
    if (!printer.isValid()) {
        std::fprintf(stderr, "no queue %s\n", argv[1]);
        return 1;
    }
    printer.setDocName(QString::fromLocal8Bit(argv[4]));
    printer.setFullPage(true);
    // Qt defines a page size upright and turns it with the orientation, as a
    // design application asks for a landscape page.
    const QSizeF upright(std::min(size.width(), size.height()),
                         std::max(size.width(), size.height()));
    const QPageLayout layout(
        QPageSize(upright, QPageSize::Millimeter, QString(), QPageSize::ExactMatch),
        size.width() > size.height() ? QPageLayout::Landscape : QPageLayout::Portrait, QMarginsF());
    if (!printer.setPageLayout(layout)) {
        std::fprintf(stderr, "the queue refused a page of %s x %s mm\n", argv[2], argv[3]);
        return 1;
    }

    QPainter painter;
    if (!painter.begin(&printer)) {
        std::fprintf(stderr, "cannot print\n");
        return 1;
    }
    // Device pixels per millimetre; the page's origin is its top-left corner.
    const double perMm = printer.resolution() / 25.4;
    const QRectF page = printer.pageLayout().fullRectPixels(printer.resolution());
    painter.fillRect(QRectF(10 * perMm, page.height() - 30 * perMm, 50 * perMm, 20 * perMm),
                     Qt::black);
    return painter.end() ? 0 : 1;
}
