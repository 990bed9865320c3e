#pragma once

#include <string>
#include <vector>

// Replaces the file at `path` with `contents` at once: a temporary file in the
// same folder is written, flushed to disk and renamed over the old one, so a
// reader, a crash or a full disk never sees a part. The old file's mode is
// kept; a new file gets 0600. Returns 0, or the errno of the step that failed
// (the temporary file is then removed).
int replaceFileContents(const std::string& path, const std::string& contents);

// Removes what replaceFileContents leaves in `folder` when the process ends in
// the middle (its temporary files, ".replace.XXXXXX"), and returns their
// names. Only call it while no other program may be saving there.
std::vector<std::string> removeStrayReplacements(const std::string& folder);
