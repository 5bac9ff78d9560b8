#pragma once

#include "InputStream.h"

#include <QByteArray>
#include <optional>

// Reads an open stream until read() returns 0, capacity bytes at a time.
// Absent when a read fails (returns -1).
std::optional<QByteArray> readToEnd(zek::InputStream &stream, quint64 capacity);

// Opens the stream, reads it to its end and closes it.
std::optional<QByteArray> readWholeStream(zek::InputStream &stream, quint64 capacity = 65536);
