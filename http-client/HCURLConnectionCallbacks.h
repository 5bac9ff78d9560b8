#pragma once

#include "ServerTrust.h"

#include <curl/curl.h>

class HCURLConnection;

// curl's C callbacks, which hand over to the connection in their user data
// (the connection itself). While one runs, the connection knows it is inside
// curl, where curl must not be called back.
struct HCURLConnectionCallbacks {
    static size_t header(char *data, size_t size, size_t count, void *connection);
    static size_t write(char *data, size_t size, size_t count, void *connection);
    static size_t read(char *buffer, size_t size, size_t count, void *connection);
    // Only back to the start, for a body sent again.
    static int seek(void *connection, curl_off_t offset, int origin);
    static int progress(void *connection, curl_off_t downloadTotal, curl_off_t downloaded,
                        curl_off_t uploadTotal, curl_off_t uploaded);
    // The judge of the connection's TLS server check.
    static bool trustServer(HCURLConnection *connection, zek::ServerTrust &trust);

private:
    // Marks the connection as being inside curl while a callback runs.
    class Inside {
    public:
        explicit Inside(void *connection);
        ~Inside();
        Inside(const Inside &) = delete;
        Inside &operator=(const Inside &) = delete;

        HCURLConnection &connection() const { return *connection_; }

    private:
        HCURLConnection *connection_;
    };
};
