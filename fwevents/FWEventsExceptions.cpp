#include "FWEventsExceptions.h"

#include <utility>

FWEventsException::FWEventsException(QString name, QString reason)
    : name_(std::move(name)), reason_(std::move(reason)), what_(reason_.toStdString())
{}
