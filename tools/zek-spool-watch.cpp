// zek-spool-watch [-v|--verbose] [DIR]: watches the spool tree as the uploader does and prints a
// line for every finished PDF it would upload; with -v also every event it is told of. For finding
// out why a job was or was not picked up.

#include "FileNames.h"
#include "ZEKIdentity.h"
#include "ZEKPathObservingController.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <iostream>

namespace {

const QString kSpoolRoot = QStringLiteral("/var/spool/ZEKPrinter");

class PrintingDelegate : public ZEKPathObservingDelegate {
public:
    void fileDidCreatedAtURL(const QUrl &url) override
    {
        std::cout << "Printed PDF appeared: " << zek::displayPath(zek::localPath(url)).toStdString()
                  << std::endl;
    }
};

class SpoolWatch : public ZEKPathObservingController {
public:
    SpoolWatch(const QString &directory, bool verbose)
        : ZEKPathObservingController(directory, QStringLiteral("*.pdf")), verbose_(verbose)
    {}

    void URLWatcher(FWEvents &watcher, const FWEvent &eventOccurred) override
    {
        if (verbose_) {
            std::cout << eventOccurred.description().toStdString() << std::endl;
        }
        ZEKPathObservingController::URLWatcher(watcher, eventOccurred);
    }

private:
    bool verbose_;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zek-spool-watch"));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(zek::kVersion));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Prints each finished PDF that arrives in the spool tree, as ZEKUploader "
                       "sees it. Runs until interrupted."));
    parser.addHelpOption();
    // -v is taken by --verbose here, so the version has its long name only.
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Displays version information."));
    const QCommandLineOption verbose({QStringLiteral("v"), QStringLiteral("verbose")},
                                     QStringLiteral("Also print every event delivered."));
    parser.addOptions({version, verbose});
    parser.addPositionalArgument(QStringLiteral("DIR"),
                                 QStringLiteral("The tree to watch (default %1).").arg(kSpoolRoot),
                                 QStringLiteral("[DIR]"));
    if (!parser.parse(QCoreApplication::arguments())) {
        std::cerr << "zek-spool-watch: " << parser.errorText().toStdString()
                  << "\nTry 'zek-spool-watch --help'." << std::endl;
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::cout << parser.helpText().toStdString() << std::flush;
        return 0;
    }
    if (parser.isSet(version)) {
        std::cout << "zek-spool-watch " << zek::kVersion << std::endl;
        return 0;
    }
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() > 1) {
        std::cerr << "zek-spool-watch: one DIR at most\nTry 'zek-spool-watch --help'." << std::endl;
        return 2;
    }
    const QString directory = arguments.isEmpty() ? kSpoolRoot : arguments.first();

    const auto delegate = std::make_shared<PrintingDelegate>();
    SpoolWatch watch(directory, parser.isSet(verbose));
    watch.setDelegate(delegate);
    watch.setObserveSubpaths(true);
    try {
        watch.startObserving();
    } catch (const FWEventsException &failure) {
        std::cerr << "zek-spool-watch: " << failure.what() << std::endl;
        return 1;
    }
    std::cerr << "zek-spool-watch: watching " << directory.toStdString() << std::endl;
    return application.exec();
}
