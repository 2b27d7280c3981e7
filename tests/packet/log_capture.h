// Test helper: records the lines the log module writes while it is alive (through the level
// callback of the log object).
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "diag/log.h"

namespace testing_support {

class LogCapture {
  public:
    LogCapture() { diag::GetLog().setLevelCallback(&LogCapture::OnLine, this); }
    ~LogCapture() { diag::GetLog().setLevelCallback(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Lines at the level containing the text.
    int Count(int level, const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& [l, line] : lines_) {
            if (l == level && line.find(text) != std::string::npos) ++n;
        }
        return n;
    }
    bool Has(int level, const std::string& text) const { return Count(level, text) > 0; }
    std::size_t Size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_.size();
    }
    std::vector<std::pair<int, std::string>> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

  private:
    static void OnLine(void* context, int level, const char* text) {
        auto* self = static_cast<LogCapture*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(level, text);
    }

    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace testing_support
