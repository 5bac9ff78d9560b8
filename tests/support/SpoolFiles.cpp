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
    return QFile::decodeName(
        finishJob(QFile::encodeName(directory), QFile::encodeName(stem), data));
}

QByteArray finishJob(const QByteArray &directory, const QByteArray &stem, const QByteArray &data)
{
    const QByteArray temporary = directory + '/' + stem + ".~pdf";
    const QByteArray final = directory + '/' + stem + ".pdf";
    FILE *file = std::fopen(temporary.constData(), "wb");
    EXPECT_TRUE(file) << temporary.toStdString();
    if (file) {
        EXPECT_EQ(std::fwrite(data.constData(), 1, size_t(data.size()), file), size_t(data.size()));
        std::fclose(file);
    }
    EXPECT_EQ(std::rename(temporary.constData(), final.constData()), 0) << final.toStdString();
    return final;
}
