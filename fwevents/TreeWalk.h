#pragma once

#include <QByteArray>
#include <filesystem>
#include <functional>
#include <system_error>

// Walks a directory tree without following symbolic links, for the watcher and for the scans
// after lost events. Every directory below the top is opened beneath the top's descriptor with
// no link in any step, so a directory swapped for a link during the walk leads nowhere, and at
// most two directories are open at a time, so neither a long chain of directories nor a wide tree
// runs out of file descriptors. A directory that cannot be read (another user's, or one whose
// path is longer than the system allows) is passed over while the walk goes on with the rest.
// Paths are bytes, as the file system has them.
class TreeWalk {
public:
    // One entry, with its own type (links are not followed). `directory` is a descriptor of the
    // directory it is in and `name` its name there, both valid during the call only.
    struct Entry {
        const QByteArray &path;
        std::filesystem::file_type type;
        int directory;
        const char *name;
    };

    // Called before a directory's entries are listed; false skips it and everything below it.
    using Enter = std::function<bool(const QByteArray &directory)>;
    // Called for every entry below the top. A directory's entries are all visited before any
    // directory below it is entered.
    using Visit = std::function<void(const Entry &entry)>;
    // Called once for each directory that could not be listed for a reason other than access
    // rights, which are expected in a tree shared by several users.
    using Skipped = std::function<void(const QByteArray &directory, const std::error_code &error)>;

    TreeWalk(Enter enter, Visit visit, Skipped skipped);

    // Walks below `top` (itself entered first; the path to it may run through links); with
    // `recursive` false, only its own entries.
    void walk(const QByteArray &top, bool recursive = true) const;

private:
    Enter enter_;
    Visit visit_;
    Skipped skipped_;
};
