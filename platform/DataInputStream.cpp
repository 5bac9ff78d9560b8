#include "DataInputStream.h"

#include <algorithm>
#include <cstring>

namespace zek {

DataInputStream::DataInputStream(QByteArray data) : data_(std::move(data)) {}

void DataInputStream::open()
{
    if (status_ == StreamStatus::NotOpen) {
        status_ = data_.isEmpty() ? StreamStatus::AtEnd : StreamStatus::Open;
    }
}

void DataInputStream::close()
{
    status_ = StreamStatus::Closed;
}

qint64 DataInputStream::read(char *buffer, quint64 maxLength)
{
    if (status_ == StreamStatus::AtEnd) {
        return 0;
    }
    if (status_ != StreamStatus::Open) {
        return -1;
    }
    const auto count = static_cast<qsizetype>(
        std::min<quint64>(maxLength, static_cast<quint64>(data_.size() - position_)));
    std::memcpy(buffer, data_.constData() + position_, static_cast<size_t>(count));
    position_ += count;
    if (position_ == data_.size()) {
        status_ = StreamStatus::AtEnd;
    }
    return count;
}

bool DataInputStream::hasBytesAvailable() const
{
    return status_ == StreamStatus::Open;
}

} // namespace zek
