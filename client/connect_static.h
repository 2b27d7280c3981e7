// CConnectStatic: per-address connection counts, the connections of the current 60-second
// period and the highest such count, and the export of frequent connectors as an accept file.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "client/operator_notice.h"
#include "thread/zq_auto_lock.h"

// One address ever seen. Plain data: the views and the export get copies.
struct tagConnectStaticByIP {
    std::string address;
    std::uint64_t totalConnections = 0;
    std::uint32_t periodStart = 0;      // tick (ms) the current period opened at; 0 = none yet
    std::int32_t currentFrequency = 0;  // connections in the current period
    std::int32_t maxFrequency = 0;      // highest currentFrequency ever reached
    double maxFrequencyTime = 0.0;      // local date-time (days since 1899-12-30) of the maximum
};

// Statistics of every address ever seen, in the order first seen; they only grow. One lock
// guards the records for the worker thread (countConnection) and the readers (views, export).
class CConnectStatic {
  public:
    static constexpr std::uint32_t kPeriodMs = 60000;
    static constexpr int kPeriodSeconds = 60;

    using TickSource = std::function<std::uint32_t()>;  // 32-bit ms ticks
    using ClockSource = std::function<double()>;        // local date-time now

    // Uses GetTickCount and the local time.
    CConnectStatic();
    // For tests: other tick and clock sources.
    CConnectStatic(TickSource tick, ClockSource now);
    CConnectStatic(const CConnectStatic&) = delete;
    CConnectStatic& operator=(const CConnectStatic&) = delete;

    // Counts one connection from address (exact text): total + 1; a connection at most 60000 ms
    // after the period start counts in that period, any other opens a new period with 1. A
    // fixed window, not a sliding one. Returns a copy of the address's record afterwards.
    tagConnectStaticByIP countConnection(std::string_view address);

    int recordCount() const;
    // Copy of the record at index (record order), none when out of range.
    std::optional<tagConnectStaticByIP> record(int index) const;
    // Copies of all records, in record order, taken under one lock.
    std::vector<tagConnectStaticByIP> snapshot() const;
    // Addresses whose maximum frequency is greater than threshold, in record order.
    std::vector<std::string> addressesAbove(int threshold) const;

  private:
    TickSource m_Tick;
    ClockSource m_Now;
    mutable CriticalSection m_Lock;
    std::vector<std::unique_ptr<tagConnectStaticByIP>> m_Records;
    std::unordered_map<std::string, tagConnectStaticByIP*> m_Index;
};

// Texts of one "lvConnectStatic" row: "IP", "ConnectTotal", "CurConnectFreq", "MaxConnectFreq",
// "MaxConnectFreqUpdateTime" (local "yyyy-mm-dd HH:MM:SS").
std::array<std::string, 5> ConnectStaticColumns(const tagConnectStaticByIP& record);

// Caption of the period label: "最大连接频率(周期:60秒,超过导出)".
std::string MaxConnectFreqCaption();

// "yyyy-mm-dd HH:MM:SS" of a local date-time value.
std::string DateTimeText(double dateTime);

// The export file offered first: "BlackList.ini" in exeFolder.
std::string DefaultExportFile(const std::string& exeFolder);

// The export's content in the accept file format: the addresses above threshold, each
// followed by a line end.
std::string ConnectStaticExportText(const CConnectStatic& statistics, int threshold);

// Writes ConnectStaticExportText to fileName (replacing it). On failure notifies
// "Save File %s Exception:%s" (file name, error text) and answers false.
bool ExportConnectStatic(const CConnectStatic& statistics, int threshold,
                         const std::string& fileName, const client::OperatorNotice& notice);
