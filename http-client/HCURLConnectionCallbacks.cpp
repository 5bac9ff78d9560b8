#include "HCURLConnectionCallbacks.h"

#include "HCURLConnection.h"

#include <cstdio>

HCURLConnectionCallbacks::Inside::Inside(void *connection)
    : connection_(static_cast<HCURLConnection *>(connection))
{
    ++connection_->inCallback_;
}

HCURLConnectionCallbacks::Inside::~Inside()
{
    --connection_->inCallback_;
}

size_t HCURLConnectionCallbacks::header(char *data, size_t size, size_t count, void *connection)
{
    const Inside inside(connection);
    return inside.connection().receiveHeader(data, size * count);
}

size_t HCURLConnectionCallbacks::write(char *data, size_t size, size_t count, void *connection)
{
    const Inside inside(connection);
    return inside.connection().receiveData(data, size * count);
}

size_t HCURLConnectionCallbacks::read(char *buffer, size_t size, size_t count, void *connection)
{
    const Inside inside(connection);
    return inside.connection().readBody(buffer, size * count);
}

int HCURLConnectionCallbacks::seek(void *connection, curl_off_t offset, int origin)
{
    const Inside inside(connection);
    if (origin != SEEK_SET || offset != 0) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    return inside.connection().rewindBody() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_CANTSEEK;
}

int HCURLConnectionCallbacks::progress(void *connection, curl_off_t, curl_off_t downloaded,
                                       curl_off_t, curl_off_t uploaded)
{
    const Inside inside(connection);
    return inside.connection().progress(downloaded, uploaded) ? 0 : 1;
}

bool HCURLConnectionCallbacks::trustServer(HCURLConnection *connection, zek::ServerTrust &trust)
{
    const Inside inside(connection);
    return inside.connection().trustServer(trust);
}
