#ifndef CORVATEL_CHECK_REPLACE_FILE_H
#define CORVATEL_CHECK_REPLACE_FILE_H

#include <string>
#include <string_view>

namespace corvatel {

/// Replaces the file at `path` with `text` atomically: a new file beside it (mode 0644), synced
/// and renamed over it, so that a reader sees the old file or the new one, never a part. -1 with
/// `problem` set (the old file then stays).
[[nodiscard]] int replace_file(const std::string& path, std::string_view text,
                               std::string& problem);

}  // namespace corvatel

#endif
