// The packet recorder: in-memory records of the packets passing each direction of each link,
// for the operator's recorder view (filter by hex patterns, copy, export).
//
//   PackRecorderManager ── PackRecorder (id 3 "RouteServer", 7 "VevIdor", 0 "UserDefine")
//                            ├── Recv: OneWayPackRec
//                            └── Send: OneWayPackRec ── tagOnePackData × at most 100000
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "thread/zq_auto_lock.h"

// One recorded packet.
struct tagOnePackData {
    std::string HexText;             // "FF CC 0A ": two upper-case digits and a blank per byte
    std::vector<std::uint8_t> Data;  // the packet as received or sent
    std::string TimeText;            // local time of day at recording, "HH:MM:SS"
    std::uint32_t Serial = 0;        // the direction's counter at recording
    std::uint32_t SessionID = 0;
    std::int32_t PackOrder = 0;
};

// Called on the recording thread for each new record the view would show; it must only note
// the fact (set a flag) and not call back into the recorder.
using RecordNotifyCallback = void (*)(void* context);

// Filter modes of a direction's view.
enum PackFilterMode : int {
    kFilterNone = 0,      // show every record
    kFilterHide = 1,      // hide the records that match a watch string
    kFilterShowOnly = 2,  // show only those
};

// One direction of one recorder. record() is called by network threads; the view operations by
// the operator's thread. Every operation is safe from any thread.
class OneWayPackRec {
  public:
    static constexpr std::size_t kMaxRecords = 100000;

    explicit OneWayPackRec(std::string name);
    OneWayPackRec(const OneWayPackRec&) = delete;
    OneWayPackRec& operator=(const OneWayPackRec&) = delete;

    // Counts the packet; when enabled, keeps a record of it (starting again from empty once the
    // direction holds kMaxRecords records).
    void record(std::span<const std::uint8_t> bytes) { record(bytes, 0, 0); }
    void record(std::span<const std::uint8_t> bytes, std::uint32_t sessionId,
                std::int32_t packOrder);

    // Empties the records; the counter is kept.
    void clear();
    // Rebuilds the view for the filter mode; returns the number of records shown.
    int rebuildView();
    // A copy of the index-th shown record (of all records in mode 0, of the view otherwise), or
    // nothing outside the range.
    std::optional<tagOnePackData> shownAt(int index) const;
    // The shown records' export lines, in view order.
    std::string exportShown() const;

    void addWatch(const std::string& text);
    void deleteWatch(int index);  // ignored when out of range
    void clearWatches();
    int watchCount() const;
    std::string watchAt(int index) const;  // "" when out of range

    bool enabled() const { return enabled_.load(std::memory_order_relaxed); }
    void setEnabled(bool on) { enabled_.store(on, std::memory_order_relaxed); }
    int filterMode() const { return filterMode_.load(std::memory_order_relaxed); }
    void setFilterMode(int mode) { filterMode_.store(mode, std::memory_order_relaxed); }

    void setNotify(RecordNotifyCallback callback, void* context);
    void clearNotify() { setNotify(nullptr, nullptr); }

    // Packets offered to this direction since creation, recorded or not.
    std::uint32_t counter() const { return counter_.load(std::memory_order_relaxed); }
    const std::string& name() const { return name_; }
    // Number of records kept (whatever the filter).
    int recordCount() const;

  private:
    bool MatchesLocked(const tagOnePackData& data) const;
    bool ShownLocked(const tagOnePackData& data, int mode) const;

    std::vector<std::unique_ptr<tagOnePackData>> all_;
    std::vector<const tagOnePackData*> view_;
    std::atomic<bool> enabled_{false};
    std::atomic<std::uint32_t> counter_{0};
    std::string name_;
    mutable CriticalSection lock_;
    std::vector<std::string> watches_;
    std::atomic<int> filterMode_{kFilterNone};
    RecordNotifyCallback notify_ = nullptr;
    void* notifyContext_ = nullptr;
};

// The two directions of one link's recorder.
class PackRecorder {
  public:
    PackRecorder(const std::string& name, int id);
    PackRecorder(const PackRecorder&) = delete;
    PackRecorder& operator=(const PackRecorder&) = delete;

    OneWayPackRec& recv() { return recv_; }
    OneWayPackRec& send() { return send_; }
    int id() const { return id_; }

  private:
    OneWayPackRec recv_;
    OneWayPackRec send_;
    int id_;
};

// The recorders of the process; recorders are never removed, so their addresses stay valid.
class PackRecorderManager {
  public:
    PackRecorderManager();
    PackRecorderManager(const PackRecorderManager&) = delete;
    PackRecorderManager& operator=(const PackRecorderManager&) = delete;

    // Appends a recorder whose directions are named name + " Recv" and name + " Send".
    PackRecorder* createRecorder(const std::string& name, int id);
    // The first recorder with the id, or null.
    PackRecorder* recorderFor(int id) const;
    PackRecorder* recorderAt(int position) const;
    int recorderCount() const;
    // Switches recording of both directions of every recorder.
    void enableAll(bool on);
    // Removes the notify callback from every direction.
    void clearNotify();

  private:
    mutable CriticalSection lock_;
    std::vector<std::unique_ptr<PackRecorder>> recorders_;
};

// The process-wide manager, made on first use.
PackRecorderManager& GetPackRecorderManager();

// "%d [%s] [0x%x:%d](%d) %s" of serial, time text, session id, pack order, length and hex
// text, ending in CR LF: one line of the recorder's export.
std::string FormatExportLine(const tagOnePackData& data);
