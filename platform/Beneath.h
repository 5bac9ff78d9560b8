#pragma once

#include <QByteArray>

struct stat;

// Opening a path of a tree that other users may write to, such as the spool tree, where any
// directory of a path may have been swapped for a symbolic link a moment ago: such a path is
// resolved beneath an open descriptor of the tree's top, and no symbolic link is followed in any
// of its steps.
namespace zek {

// Opens `relative` beneath the directory that `directory` refers to, with `flags` (O_CLOEXEC is
// always added). No step may be a symbolic link or lead out of the directory ("..", an absolute
// path). An empty path is the directory itself. -1 with errno set on failure: ELOOP or EXDEV
// where a link or a way out stood in the path, ENOENT, EACCES, EMFILE and the like as open(2)
// gives them. Uses openat2 where the kernel has it, otherwise openBeneathStepByStep.
int openBeneath(int directory, const QByteArray &relative, int flags);

// The same, one step at a time, each directory opened on the one before without following a
// link; for kernels without openat2.
int openBeneathStepByStep(int directory, const QByteArray &relative, int flags);

// `path` relative to the directory `top` (both absolute, in standard form): "" for the top
// itself, a null array when the path is not below it.
QByteArray relativeTo(const QByteArray &top, const QByteArray &path);

// Whether `path`, below the directory `top`, is a regular file now, reached without a link;
// its status in `status`, if given.
bool isRegularFileBeneath(const QByteArray &top, const QByteArray &path,
                          struct stat *status = nullptr);

// The directory part of a relative path ("" for a bare name) and its last step.
QByteArray directoryPart(const QByteArray &relative);
QByteArray lastStep(const QByteArray &relative);

} // namespace zek
