// Writing the command's outputs so that a failed run leaves nothing behind: output paths are checked before
// any work starts, report files are written all or none, and a failed write on standard output is an error.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// Checks, before any work, that `path` (given with `option`) can be written: its folder exists and is
// writable, and the path is not a folder or a special file. "-" (standard output) always passes.
// CliError naming the option, the path and the reason otherwise.
void checkOutputPath(const std::string& path, const std::string& option);

// Writes each (path, text) to a temporary file next to it, then renames them all into place: when any
// write fails (a full disk, a folder gone), every temporary file is removed and no report is written.
// CliError naming the path and the system's reason. `beforeRename` (writing standard output) runs once
// every file is written and before any is renamed: when it throws, no file is written either.
void writeFilesAtomically(const std::vector<std::pair<std::string, std::string>>& files,
                          const std::function<void()>& beforeRename = {});

// Writes `text` to `out` and flushes it. CliError when the stream fails (standard output full or closed),
// so that a pipeline never takes an empty output for a successful run.
void writeStream(std::ostream& out, const std::string& text);

}  // namespace cli
