#pragma once

#include <QString>

// Turns a job title into the job file name, without extension:
// "job_<id> <cleaned title>", or "job_<id> Untitled document" when nothing of
// the title is left. A null title stands for an absent one.
//
// The title is worked on as UTF-16 code units: keep what follows the last "/"
// and the last "\", drop the last extension, turn ":" into " ", cut to 64 code
// units, drop the last word, trim punctuation, then spaces. Every "/" in the
// job identifier becomes "_" so that the name stays one path component.
//
// The result is always a valid file name, even with ".~pdf" added: a NUL
// becomes " " in the title and "_" in the identifier, half of a surrogate
// pair becomes U+FFFD, and the identifier is cut to 16 code units.
QString zek_prepare_title(const QString &title, const QString &jobIdentifier);
