// main() for tests that need a QCoreApplication (or, with ZEK_TEST_WIDGETS, a
// QApplication on the offscreen platform): the main thread is then the
// application's thread, as in the programs, and tests can run its event loop.
// The user's settings go to a fresh directory, never the real one.
#include <QTemporaryDir>
#include <gtest/gtest.h>

#ifdef ZEK_TEST_WIDGETS
#include <QApplication>
using Application = QApplication;
#else
#include <QCoreApplication>
using Application = QCoreApplication;
#endif

int main(int argc, char **argv)
{
    const QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
#ifdef ZEK_TEST_WIDGETS
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
#endif
    Application application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
