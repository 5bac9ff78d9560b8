#include "BytePaths.h"

namespace bytepaths {

namespace {
const QByteArray kSlash("/");
}

QByteArray child(const QByteArray &directory, const QByteArray &name)
{
    return directory == kSlash ? kSlash + name : directory + '/' + name;
}

QByteArray parent(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? kSlash : path.left(slash);
}

bool isInside(const QByteArray &path, const QByteArray &directory)
{
    return directory == kSlash || path == directory ||
           (path.startsWith(directory) && path.at(directory.size()) == '/');
}

} // namespace bytepaths
