#pragma once

#include <string>

// Renames the temporary job file at `path` (".~pdf") to its finished name
// (".pdf") in the same directory. Never replaces an existing file, and the
// finished name appears atomically with the whole document. The finish is
// always a rename: where the file system cannot rename without replacing, the
// finished name is checked to be free just before. Returns 0 on success, 1 on
// failure.
int zek_finalize_file(const std::string &path);

// The finished name of a temporary job file: its last extension becomes "pdf".
std::string zek_finished_path(const std::string &path);
