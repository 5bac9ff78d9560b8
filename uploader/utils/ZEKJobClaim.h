#pragma once

#include <QUrl>
#include <memory>

// A job file taken by this uploader for as long as the claim lives: an
// exclusive lock on the file, so that another uploader (another user's, or a
// second look at the same file by this one) leaves it alone. A job is so
// delivered once, however many uploaders watch the directory it is in.
class ZEKJobClaim {
public:
    enum class Outcome {
        Claimed,       // ours until the claim goes
        HeldByAnother, // being uploaded elsewhere
        Gone,          // no such file any more (delivered and deleted, say)
    };

    // Takes the file without waiting. Claimed only when the path, after the
    // lock was taken, still names the file locked: one deleted or replaced
    // meanwhile was delivered by whoever held it.
    static std::pair<Outcome, std::shared_ptr<ZEKJobClaim>> claim(const QUrl &file);

    ~ZEKJobClaim();
    ZEKJobClaim(const ZEKJobClaim &) = delete;
    ZEKJobClaim &operator=(const ZEKJobClaim &) = delete;

private:
    explicit ZEKJobClaim(int fd) : fd_(fd) {}

    int fd_;
};
