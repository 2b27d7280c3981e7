// Deletes log files older than 7 days at start-up.
#include "diag/log_cleanup.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace diag {
namespace {

constexpr long long kKeepDays = 7;

// The file's time as seconds since the Unix epoch, or false when it cannot be read.
bool FileTime(const std::filesystem::path& path, LogFileAge age, std::time_t& seconds) {
    struct statx info {};
    unsigned mask = STATX_MTIME | (age == LogFileAge::kBirthOrModification ? STATX_BTIME : 0u);
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, &info) != 0) return false;
    if (age == LogFileAge::kBirthOrModification && (info.stx_mask & STATX_BTIME) != 0) {
        seconds = static_cast<std::time_t>(info.stx_btime.tv_sec);
        return true;
    }
    if ((info.stx_mask & STATX_MTIME) == 0) return false;
    seconds = static_cast<std::time_t>(info.stx_mtime.tv_sec);
    return true;
}

}  // namespace

int CleanupOldLogFiles(const std::string& directory, std::time_t now, LogFileAge age) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(directory.empty() ? "." : directory, ec);
    if (ec) return 0;

    std::vector<fs::path> collected;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path& path = it->path();
        if (path.extension() != ".log" || !it->is_regular_file(ec)) continue;
        std::time_t created = 0;
        // Both times are Unix times, so the age does not depend on the time zone.
        if (!FileTime(path, age, created) ||
            std::llabs(static_cast<long long>(now - created)) / 86400 > kKeepDays) {
            collected.push_back(path);
        }
    }
    int deleted = 0;
    for (const fs::path& path : collected) {
        if (fs::remove(path, ec)) ++deleted;
    }
    return deleted;
}

}  // namespace diag
