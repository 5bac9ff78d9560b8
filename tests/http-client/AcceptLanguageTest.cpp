// Accept-Language follows the user's locale settings, as the environment of
// a fresh process gives them.

#include "ProcessRunner.h"

#include <QProcess>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QString acceptLanguageUnder(const QStringList &settings)
{
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : {u"LANGUAGE"_s, u"LC_ALL"_s, u"LC_MESSAGES"_s, u"LANG"_s}) {
        environment.remove(name);
    }
    for (const QString &setting : settings) {
        environment.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
    }
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(ZEK_ACCEPT_LANGUAGE_PROBE), {});
    EXPECT_TRUE(probe.waitForFinished());
    return QString::fromUtf8(probe.readAllStandardOutput());
}

TEST(AcceptLanguageTest, FollowsTheLanguagesOfTheUserAndTakesTheCLocaleAsEnglish)
{
    const QString value = acceptLanguageUnder({u"LANGUAGE=de:fr"_s, u"LANG=de_DE.UTF-8"_s});
    EXPECT_TRUE(value.startsWith(u"de;q=1, "_s)) << value.toStdString();
    EXPECT_TRUE(value.contains(u", fr;q=0."_s)) << value.toStdString();
    EXPECT_EQ(acceptLanguageUnder({u"LC_ALL=C"_s}), u"en;q=1"_s);
}

} // namespace
