#pragma once

#include <QString>
#include <filesystem>
#include <functional>
#include <system_error>

// Walks a directory tree without following symbolic links, for the watcher and for the scans
// after lost events. One directory is open at a time, so neither a long chain of directories
// nor a wide tree runs out of file descriptors, and a directory that cannot be read (another
// user's, or one whose path is longer than the system allows) is passed over while the walk
// goes on with the rest.
class TreeWalk {
public:
    // Called before a directory's entries are listed; false skips it and everything below it.
    // Entries come in depth-first order: a directory's tree right after the directory.
    using Enter = std::function<bool(const QString &directory)>;
    // Called for every entry below the top, with its own type (links are not followed).
    using Visit = std::function<void(const QString &path, std::filesystem::file_type type)>;
    // Called once for each directory that could not be listed for a reason other than access
    // rights, which are expected in a tree shared by several users.
    using Skipped = std::function<void(const QString &directory, const std::error_code &error)>;

    TreeWalk(Enter enter, Visit visit, Skipped skipped);

    // Walks below `top` (itself entered first); with `recursive` false, only its own entries.
    void walk(const QString &top, bool recursive = true) const;

private:
    Enter enter_;
    Visit visit_;
    Skipped skipped_;
};
