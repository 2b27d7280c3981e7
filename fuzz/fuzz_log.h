// The fuzz targets' log: mismatches are logged on almost every input, so run.sh points the
// lines at a scratch folder (VEVIDOR_FUZZ_LOG_DIR).
#pragma once

#include <cstdlib>

#include "diag/log.h"

inline void PointFuzzLogAtScratchFolder() {
    const char* directory = std::getenv("VEVIDOR_FUZZ_LOG_DIR");
    diag::GetLog().setLogPath(directory != nullptr ? directory : "/tmp/vevidor-fuzz-log", "");
}
