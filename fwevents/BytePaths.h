#pragma once

#include <QByteArray>

// Absolute paths in standard form, as bytes, taken apart and put together.
namespace bytepaths {

// The path of the entry `name` in `directory`.
QByteArray child(const QByteArray &directory, const QByteArray &name);
// The directory that holds the item at `path`; "/" for "/" itself.
QByteArray parent(const QByteArray &path);
// Whether `path` is `directory` or anything below it.
bool isInside(const QByteArray &path, const QByteArray &directory);

} // namespace bytepaths
