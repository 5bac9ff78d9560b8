#pragma once

#include <QString>

// The four upload settings in the user's preferences (QSettings "ZEK",
// "ZEKUploader": ~/.config/ZEK/ZEKUploader.conf, or the system-wide file when
// the user has none), from which the device's print resource URL is made.
// The accessors go straight to the store, so a value written is read back at
// once. One shared instance; main thread.
class ZEKDefaults {
public:
    static constexpr const char *kDefaultScheme = "http";
    static constexpr const char *kDefaultIp = "zek-laser.local";
    static constexpr const char *kDefaultPort = "5004";
    static constexpr const char *kDefaultPath = "/api/laser/json/print/pdf";

    static ZEKDefaults &standardUserDefaults();

    // Null when nothing is stored.
    QString scheme() const;
    QString ip() const;
    QString port() const;
    QString path() const;

    // Null and empty values are ignored: the stored value stays.
    void setScheme(const QString &value);
    void setIp(const QString &value);
    void setPort(const QString &value);
    void setPath(const QString &value);

    // With force, all four return to their defaults; without, only those with
    // nothing stored get theirs (an empty value stored from outside stays).
    void defineZEKDefaultsForce(bool force);
    // Removes all four, so that the next defineZEKDefaultsForce puts the defaults back.
    void resetZEKDefaults();

    // The user's settings file, for those who watch it.
    QString fileName() const;

private:
    ZEKDefaults() = default;
};
