// Start-up cleanup of old log files: "*.log" files in the log directory older than 7 days.
#pragma once

#include <ctime>
#include <string>

namespace diag {

// Which file time tells a log file's age.
enum class LogFileAge {
    kBirthOrModification,  // the birth time where the file system keeps it, else modification
    kModification,         // always the modification time
};

// Deletes every "*.log" file directly in `directory` whose age in whole days (truncated,
// absolute) is above 7 at `now`. Other files, folders and failed deletions are left alone.
// Returns the number of files deleted.
int CleanupOldLogFiles(const std::string& directory, std::time_t now,
                       LogFileAge age = LogFileAge::kBirthOrModification);

}  // namespace diag
