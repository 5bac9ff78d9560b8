#include "SpoolFiles.h"

#include <QFile>
#include <cstdio>
#include <gtest/gtest.h>

void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(data), data.size());
}

void writeFile(const std::string &path, const QByteArray &data)
{
    writeFile(QString::fromStdString(path), data);
}

QByteArray readFile(const std::string &path)
{
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct stat statOf(const std::string &path)
{
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

QString finishJob(const QString &directory, const QString &stem, const QByteArray &data)
{
    const QString temporary = directory + u'/' + stem + QStringLiteral(".~pdf");
    const QString final = directory + u'/' + stem + QStringLiteral(".pdf");
    writeFile(temporary, data);
    EXPECT_EQ(
        std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(final).constData()),
        0)
        << final.toStdString();
    return final;
}
