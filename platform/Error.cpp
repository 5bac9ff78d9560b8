#include "Error.h"

#include <cstring>

namespace zek {

Error posixError(int errnum)
{
    return Error(NSPOSIXErrorDomain, errnum,
                 {{NSLocalizedDescriptionKey, QString::fromLocal8Bit(std::strerror(errnum))}});
}

} // namespace zek
