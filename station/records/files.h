// Files under the records directory: a whole write to a descriptor, the
// directory made and checked, and the scratch files of writers that are gone.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace station::records {

// Writes all of `text`, again after EINTR; 0 or the errno, with `done` the
// bytes written.
int writeAll(int fd, const std::string &text, size_t &done);
// Creates a file in `dir` and removes it again: proves the directory takes
// new files.
bool probeDir(const std::string &dir, std::string &error);
// mkdir -p; false with a message when `dir` is not a directory after it.
bool makeDir(const std::string &dir, std::string &error);
// The writer's process id at the end of one of our scratch names, 0 when the
// name is not one.
pid_t scratchWriter(std::string_view name);
// Removes the scratch files in `dir` whose writer is gone.
void removeAbandonedScratch(const std::string &dir);

} // namespace station::records
