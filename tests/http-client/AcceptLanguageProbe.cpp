// Prints the Accept-Language field of a fresh request serializer, so that a
// test can run it under chosen locale settings.
#include "HCHTTPRequestSerializer.h"

#include <cstdio>

int main()
{
    const QString value =
        HCHTTPRequestSerializer().valueForHTTPHeaderField(QStringLiteral("Accept-Language"));
    std::fputs(value.toUtf8().constData(), stdout);
    return 0;
}
