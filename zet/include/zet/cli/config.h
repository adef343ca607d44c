// The configuration file: running it line by line at start-up, and writing a file atomically.
#pragma once

#include <string>

struct lib_globals;

namespace zet::config {

// Runs the commands of a configuration file in configure mode, with privilege 15:
// - blank lines are skipped; a line beginning with "!" at column 0 ends an interface block
//   (back to configure mode); other lines whose first word begins with "!" or "#" are comments;
// - a line that is no command of the current mode is tried in the enclosing mode
//   (interface modes -> configure mode), and the mode moves there;
// - a command that leaves configuration ("end", "exit" in configure mode) puts the reader back
//   in configure mode: a file never leaves it;
// - a failing line is logged as "PATH:LINE: MESSAGE (in "TEXT")" and the rest still applies.
// Gives the number of failing lines, or -1 (logged warning) when the file cannot be opened.
int read_file(struct lib_globals *zg, const char *path);

// Replaces the file at path by text: a temporary file in the same directory, written, fsync'd,
// renamed over path, then the directory fsync'd. Temporary files that killed writes left behind
// are removed first, so at most one is ever left. A symbolic link at path is followed (its target
// is replaced). A new file is made 0600; an existing file keeps its permissions, but a secret
// text (one holding password hashes) is never left readable by others. Gives true, or false with
// the reason in err and nothing changed.
bool write_atomic(const char *path, const std::string &text, std::string &err, bool secret);

} // namespace zet::config
