// The executable's folder and settings path normalisation.
#include "diag/paths.h"

#include <unistd.h>

#include <climits>

namespace diag {

std::string ExecutableDir() {
    static const std::string dir = [] {
        char buffer[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0) return std::string("./");
        std::string path(buffer, static_cast<std::size_t>(n));
        std::size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    }();
    return dir;
}

std::string NormalizePath(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

std::string ResolvePath(const std::string& base, const std::string& path) {
    std::string normal = NormalizePath(path);
    if (!normal.empty() && normal[0] == '/') return normal;
    if (base.empty()) return normal;
    return base.back() == '/' ? base + normal : base + "/" + normal;
}

}  // namespace diag
