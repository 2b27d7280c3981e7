// Paths as the gate's settings give them: the executable's folder, and "\" read as "/".
#pragma once

#include <string>

namespace diag {

// The folder of the running executable, ending in "/".
std::string ExecutableDir();

// The path with every "\" turned into "/"; a leading ".\" or "./" is kept.
std::string NormalizePath(std::string path);

// `path` (normalized) taken relative to `base` unless it is absolute.
std::string ResolvePath(const std::string& base, const std::string& path);

}  // namespace diag
