#include "TreeWalk.h"

#include <QFile>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Entry {
    QString path;
    fs::file_type type;
};

// The entries of one directory, read to the end and closed again.
struct Listing {
    std::vector<Entry> entries;
    size_t next = 0;
};

} // namespace

TreeWalk::TreeWalk(Enter enter, Visit visit, Skipped skipped)
    : enter_(std::move(enter)), visit_(std::move(visit)), skipped_(std::move(skipped))
{}

void TreeWalk::walk(const QString &top, bool recursive) const
{
    const auto list = [this](const QString &directory) {
        const QString prefix = directory.endsWith(u'/') ? directory : directory + u'/';
        Listing listing;
        std::error_code error;
        fs::directory_iterator entry(QFile::encodeName(directory).constData(), error);
        for (const fs::directory_iterator end; !error && entry != end; entry.increment(error)) {
            std::error_code statusError;
            listing.entries.push_back({prefix + QFile::decodeName(entry->path().filename().c_str()),
                                       entry->symlink_status(statusError).type()});
        }
        if (error && error != std::errc::permission_denied &&
            error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory) {
            skipped_(directory, error);
        }
        return listing;
    };

    if (!enter_(top)) {
        return;
    }
    // Depth first, with a stack of our own: the depth of a tree is up to its users.
    std::vector<Listing> stack;
    stack.push_back(list(top));
    while (!stack.empty()) {
        Listing &listing = stack.back();
        if (listing.next == listing.entries.size()) {
            stack.pop_back();
            continue;
        }
        const Entry entry = std::move(listing.entries[listing.next++]);
        visit_(entry.path, entry.type);
        if (recursive && entry.type == fs::file_type::directory && enter_(entry.path)) {
            stack.push_back(list(entry.path));
        }
    }
}
