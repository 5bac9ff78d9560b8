// main() for tests that need a QCoreApplication: the main thread is then the
// application's thread, as in the programs, and tests can run its event loop.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
