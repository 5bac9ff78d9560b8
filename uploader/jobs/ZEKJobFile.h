#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <memory>
#include <sys/types.h>

// A job file of the spool tree, held by this uploader from its claim to its delete: the file's
// descriptor, the descriptor of the directory it was found in and the identity of the file. The
// upload reads that descriptor and the delete removes the name from that directory only if the
// name still names that file, so the job sent and deleted is the job claimed, whatever is renamed
// or swapped for a link meanwhile.
//
// A path is resolved beneath the spool root, and no symbolic link is followed in any step of it:
// the spool tree has directories that anybody may write to, where a directory swapped for a link
// could lead the uploader to another user's files. While it is claimed, the file holds an
// exclusive lock, so that another uploader (another user's, watching "anonymous users" too, or a
// second look by this one) leaves it alone: a job is delivered once.
class ZEKJobFile {
public:
    enum class Outcome {
        Claimed,       // ours until the handle goes
        HeldByAnother, // being uploaded elsewhere
        Gone,          // no such file any more (delivered and deleted, say)
        Refused,       // no job of the tree: see claim()
        Unreadable,    // there, but it cannot be opened now: a failure, to be tried again
    };
    // What a file was when it was claimed: the same identity later is the same job.
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        qint64 size = 0;
        qint64 modified = 0; // nanoseconds since the epoch
        bool operator==(const Identity &) const = default;
    };
    struct Claim {
        Outcome outcome;
        std::shared_ptr<ZEKJobFile> job; // when claimed
        QString reason;                  // why, when refused or unreadable
    };

    // Takes the job at `path` (absolute, below `spoolRoot`) without waiting. Refused: a path
    // outside the tree, a symbolic link in any step, anything but a regular file; and, when this
    // process runs as root, a file with more than one link or one whose owner is neither root
    // nor the owner of its user directory (so that a user cannot have a file of someone else's
    // sent and deleted by linking it into their own directory). Claimed only when the name,
    // after the lock was taken, still names the file locked: one deleted or replaced meanwhile
    // was delivered by whoever held it.
    static Claim claim(const QByteArray &spoolRoot, const QByteArray &path);
    // A file named on a command line, not in the spool tree: opened without following a link at
    // its last step, not locked. Refused when it is not a regular file.
    static Claim open(const QByteArray &path);

    ~ZEKJobFile();
    ZEKJobFile(const ZEKJobFile &) = delete;
    ZEKJobFile &operator=(const ZEKJobFile &) = delete;

    QByteArray path() const { return path_; }
    QUrl URL() const;
    Identity identity() const { return identity_; }
    // The open file as a path that leads to it and to nothing else, for readers that take a
    // path: read from its start at every open, however often a body is sent.
    QUrl descriptorURL() const;

    // Removes the file's name from the directory it was claimed in, if the name still names the
    // file claimed. False with the reason otherwise.
    bool remove(QString *reason) const;
    // Whether the file is still in some directory (false once every name of it is gone).
    bool isLinked() const;

private:
    ZEKJobFile(QByteArray path, int directory, QByteArray name, int file, Identity identity);
    static Claim finishOpening(QByteArray path, int directory, QByteArray name, int file);

    const QByteArray path_;
    const int directory_; // -1 for a file opened by open()
    const QByteArray name_;
    const int file_;
    const Identity identity_;
};
