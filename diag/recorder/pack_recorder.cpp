// The packet recorder's directions, recorders and manager.
#include "diag/recorder/pack_recorder.h"

#include <cstdio>
#include <ctime>

#include "diag/log.h"

namespace {

// "HH:MM:SS" of now, local time; computed once per second per thread.
const std::string& NowTimeText() {
    thread_local std::time_t cachedSecond = -1;
    thread_local std::string cachedText;
    const std::time_t now = std::time(nullptr);
    if (now != cachedSecond) {
        std::tm local{};
        localtime_r(&now, &local);
        char text[16];
        std::strftime(text, sizeof text, "%H:%M:%S", &local);
        cachedText = text;
        cachedSecond = now;
    }
    return cachedText;
}

}  // namespace

OneWayPackRec::OneWayPackRec(std::string name) : name_(std::move(name)) {
    all_.reserve(10);
    view_.reserve(10);
}

bool OneWayPackRec::MatchesLocked(const tagOnePackData& data) const {
    for (const std::string& watch : watches_) {
        if (data.HexText.find(watch) != std::string::npos) return true;
    }
    return false;
}

bool OneWayPackRec::ShownLocked(const tagOnePackData& data, int mode) const {
    if (mode == kFilterHide) return !MatchesLocked(data);
    if (mode == kFilterShowOnly) return MatchesLocked(data);
    return true;
}

void OneWayPackRec::record(std::span<const std::uint8_t> bytes, std::uint32_t sessionId,
                           std::int32_t packOrder) {
    const std::uint32_t serial = counter_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (!enabled()) return;

    // Built outside the lock: the hex text is the costly part.
    auto data = std::make_unique<tagOnePackData>();
    data->Data.assign(bytes.begin(), bytes.end());
    data->HexText = diag::HexDump(bytes);
    data->TimeText = NowTimeText();
    data->Serial = serial;
    data->SessionID = sessionId;
    data->PackOrder = packOrder;

    ZQAutoLock lock(lock_);
    if (all_.size() >= kMaxRecords) {
        view_.clear();
        all_.clear();
    }
    const tagOnePackData& kept = *data;
    all_.push_back(std::move(data));
    // The callback is read and called under the lock, so that once clearNotify has returned it
    // is never called again.
    if (notify_ != nullptr && ShownLocked(kept, filterMode())) notify_(notifyContext_);
}

void OneWayPackRec::clear() {
    ZQAutoLock lock(lock_);
    view_.clear();
    all_.clear();
}

int OneWayPackRec::rebuildView() {
    ZQAutoLock lock(lock_);
    const int mode = filterMode();
    if (mode != kFilterHide && mode != kFilterShowOnly) return static_cast<int>(all_.size());
    view_.clear();
    for (const auto& data : all_) {
        if (ShownLocked(*data, mode)) view_.push_back(data.get());
    }
    return static_cast<int>(view_.size());
}

std::optional<tagOnePackData> OneWayPackRec::shownAt(int index) const {
    ZQAutoLock lock(lock_);
    if (index < 0) return std::nullopt;
    const auto at = static_cast<std::size_t>(index);
    const int mode = filterMode();
    if (mode != kFilterHide && mode != kFilterShowOnly) {
        if (at >= all_.size()) return std::nullopt;
        return *all_[at];
    }
    if (at >= view_.size()) return std::nullopt;
    return *view_[at];
}

std::string OneWayPackRec::exportShown() const {
    ZQAutoLock lock(lock_);
    std::string out;
    const int mode = filterMode();
    if (mode != kFilterHide && mode != kFilterShowOnly) {
        for (const auto& data : all_) out += FormatExportLine(*data);
    } else {
        for (const tagOnePackData* data : view_) out += FormatExportLine(*data);
    }
    return out;
}

void OneWayPackRec::addWatch(const std::string& text) {
    ZQAutoLock lock(lock_);
    watches_.push_back(text);
}

void OneWayPackRec::deleteWatch(int index) {
    ZQAutoLock lock(lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= watches_.size()) return;
    watches_.erase(watches_.begin() + index);
}

void OneWayPackRec::clearWatches() {
    ZQAutoLock lock(lock_);
    watches_.clear();
}

int OneWayPackRec::watchCount() const {
    ZQAutoLock lock(lock_);
    return static_cast<int>(watches_.size());
}

std::string OneWayPackRec::watchAt(int index) const {
    ZQAutoLock lock(lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= watches_.size()) return {};
    return watches_[static_cast<std::size_t>(index)];
}

void OneWayPackRec::setNotify(RecordNotifyCallback callback, void* context) {
    ZQAutoLock lock(lock_);
    notify_ = callback;
    notifyContext_ = context;
}

int OneWayPackRec::recordCount() const {
    ZQAutoLock lock(lock_);
    return static_cast<int>(all_.size());
}

PackRecorder::PackRecorder(const std::string& name, int id)
    : recv_(name + " Recv"), send_(name + " Send"), id_(id) {}

PackRecorderManager::PackRecorderManager() {
    recorders_.reserve(10);
}

PackRecorder* PackRecorderManager::createRecorder(const std::string& name, int id) {
    auto recorder = std::make_unique<PackRecorder>(name, id);
    PackRecorder* made = recorder.get();
    ZQAutoLock lock(lock_);
    recorders_.push_back(std::move(recorder));
    return made;
}

PackRecorder* PackRecorderManager::recorderFor(int id) const {
    ZQAutoLock lock(lock_);
    for (const auto& recorder : recorders_) {
        if (recorder->id() == id) return recorder.get();
    }
    return nullptr;
}

PackRecorder* PackRecorderManager::recorderAt(int position) const {
    ZQAutoLock lock(lock_);
    if (position < 0 || static_cast<std::size_t>(position) >= recorders_.size()) return nullptr;
    return recorders_[static_cast<std::size_t>(position)].get();
}

int PackRecorderManager::recorderCount() const {
    ZQAutoLock lock(lock_);
    return static_cast<int>(recorders_.size());
}

void PackRecorderManager::enableAll(bool on) {
    ZQAutoLock lock(lock_);
    for (const auto& recorder : recorders_) {
        recorder->recv().setEnabled(on);
        recorder->send().setEnabled(on);
    }
}

void PackRecorderManager::clearNotify() {
    ZQAutoLock lock(lock_);
    for (const auto& recorder : recorders_) {
        recorder->recv().clearNotify();
        recorder->send().clearNotify();
    }
}

PackRecorderManager& GetPackRecorderManager() {
    static PackRecorderManager* manager = new PackRecorderManager();  // kept to the very end
    return *manager;
}

std::string FormatExportLine(const tagOnePackData& data) {
    char head[160];
    std::snprintf(head, sizeof head, "%d [%s] [0x%x:%d](%d) ", static_cast<int>(data.Serial),
                  data.TimeText.c_str(), data.SessionID, data.PackOrder,
                  static_cast<int>(data.Data.size()));
    std::string line = head;
    line += data.HexText;
    line += "\r\n";
    return line;
}
