// CAcceptFilter: admits or refuses client connections by address against a list read from a
// text file (black list or white list), counting the listed addresses that were met.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "client/operator_notice.h"
#include "thread/zq_auto_lock.h"

class SettingsObject;

// One listed address that was met, with the connections that found it on the list.
struct tagAcceptRec {
    std::string address;
    std::uint64_t hitCount = 0;
};

// Modes:            address on the list      address not on the list
//   0 (or other)    admitted, not counted    admitted
//   1 black list    refused, counted         admitted
//   2 white list    admitted, counted        refused
//
// Accept file: one address per line, dotted text; no comments or blanks are recognised. A line
// matches only when the whole line equals the (trimmed) address, ignoring letter case; the line
// itself is not trimmed, so " 10.0.0.1" matches nothing.
//
// The list lock guards the address list, the records lock the records; check runs on the client
// worker thread, setMode, load and the view's reads on the console's thread.
class CAcceptFilter {
  public:
    enum Mode : int { kModeNone = 0, kModeBlackList = 1, kModeWhiteList = 2 };

    CAcceptFilter() = default;
    CAcceptFilter(const CAcceptFilter&) = delete;
    CAcceptFilter& operator=(const CAcceptFilter&) = delete;

    // Stores the mode and deletes every record.
    void setMode(int mode);
    int mode() const { return m_Mode.load(std::memory_order_acquire); }

    // Replaces the address list with the file's lines. False, list unchanged, when no file is
    // at fileName or it cannot be read (the latter logged with the error text).
    bool load(const std::string& fileName);

    // Whether address (trimmed here) may connect; counts a hit when it is on the list in
    // mode 1 or 2.
    bool check(std::string_view address);

    // Lines in the address list (duplicates count once).
    std::size_t listSize() const;

    int recordCount() const;
    // Copy of the record at index (order first met), none when out of range.
    std::optional<tagAcceptRec> record(int index) const;
    // Copies of all records in record order, taken under one lock.
    std::vector<tagAcceptRec> snapshot() const;

  private:
    std::atomic<int> m_Mode{kModeNone};

    mutable CriticalSection m_ListLock;
    std::unordered_set<std::string> m_List;  // lower-case lines

    mutable CriticalSection m_RecordsLock;
    std::vector<std::unique_ptr<tagAcceptRec>> m_Records;
    std::unordered_map<std::string, tagAcceptRec*> m_RecordIndex;
};

// Texts of one "lvBlackList" row: "IP" and the hit count.
std::array<std::string, 2> AcceptRecordColumns(const tagAcceptRec& record);

// Page caption and second column caption of the records view in mode 1 ("Black List",
// "Block Count") and 2 ("White List", "Pass Count"); none in other modes (the view keeps its
// captions and rows).
struct AcceptViewCaptions {
    const char* page;
    const char* countColumn;
};
std::optional<AcceptViewCaptions> AcceptViewCaptionsFor(int mode);

enum class AcceptApplyResult {
    kUnchanged,     // "cbb_AcceptMode" is 0 or -1: mode and lists kept
    kNoFileName,    // "edt_AcceptFile" empty: notice "Accept file not specified!", nothing changed
    kFileNotFound,  // notice "Accept file %s not found!": new mode in force, records cleared,
                    // address list kept
    kLoaded,        // new mode, records cleared, list from the file
};

// Applies "cbb_AcceptMode" and "edt_AcceptFile" (relative to exeFolder, "\" read as "/").
AcceptApplyResult ApplyAcceptFilterSettings(CAcceptFilter& filter, SettingsObject& settings,
                                            const std::string& exeFolder,
                                            const client::OperatorNotice& notice);
