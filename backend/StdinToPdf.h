#pragma once

#include "Account.h"

#include <string>
#include <unistd.h>

enum class ZEKCopyResult {
    Copied = 0,          // the whole document is in the file, flushed to disk
    NotPdf = 1,          // the input does not begin with "%PDF"; the file stays empty
    CopyFailed = 2,      // reading or writing failed midway; the partial file is removed
    FileUnavailable = 3, // no regular file could be created at the path; input discarded
};

// Copies the document from `input` (the backend's standard input) into the
// temporary job file at `path`, owned by `account` with mode 0644 so that the
// user's uploader can read it even where the job file belongs to "nobody".
//
// Only a document that begins with "%PDF" is copied. A file of that name left
// by an earlier run is emptied and reused, but a link or any other kind of
// file planted at the path is never opened for writing: the backend runs as
// root in directories that users can write.
ZEKCopyResult zek_stdin_to_pdf(const std::string &path, const ZEKAccount &account,
                               int input = STDIN_FILENO);
