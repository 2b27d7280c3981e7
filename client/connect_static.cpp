// Per-address connection statistics and their export.
#include "client/connect_static.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "client/client_files.h"
#include "diag/date_time.h"
#include "thread/tick.h"

CConnectStatic::CConnectStatic() : CConnectStatic(&GetTickCount, &diag::NowDateTime) {}

CConnectStatic::CConnectStatic(TickSource tick, ClockSource now)
    : m_Tick(std::move(tick)), m_Now(std::move(now)) {}

tagConnectStaticByIP CConnectStatic::countConnection(std::string_view address) {
    std::uint32_t tick = m_Tick();
    ZQAutoLock lock(m_Lock);
    std::string key(address);
    auto found = m_Index.find(key);
    tagConnectStaticByIP* record = nullptr;
    if (found != m_Index.end()) {
        record = found->second;
    } else {
        m_Records.push_back(std::make_unique<tagConnectStaticByIP>());
        record = m_Records.back().get();
        record->address = key;
        m_Index.emplace(std::move(key), record);
    }

    ++record->totalConnections;
    if (record->periodStart != 0 &&
        static_cast<std::uint32_t>(tick - record->periodStart) <= kPeriodMs) {
        ++record->currentFrequency;
    } else {
        record->periodStart = tick;
        record->currentFrequency = 1;
    }
    if (record->maxFrequency < record->currentFrequency) {
        record->maxFrequency = record->currentFrequency;
        record->maxFrequencyTime = m_Now();
    }
    return *record;
}

int CConnectStatic::recordCount() const {
    ZQAutoLock lock(m_Lock);
    return static_cast<int>(m_Records.size());
}

std::optional<tagConnectStaticByIP> CConnectStatic::record(int index) const {
    ZQAutoLock lock(m_Lock);
    if (index < 0 || static_cast<std::size_t>(index) >= m_Records.size()) return std::nullopt;
    return *m_Records[static_cast<std::size_t>(index)];
}

std::vector<tagConnectStaticByIP> CConnectStatic::snapshot() const {
    ZQAutoLock lock(m_Lock);
    std::vector<tagConnectStaticByIP> rows;
    rows.reserve(m_Records.size());
    for (const auto& record : m_Records) rows.push_back(*record);
    return rows;
}

std::vector<std::string> CConnectStatic::addressesAbove(int threshold) const {
    ZQAutoLock lock(m_Lock);
    std::vector<std::string> addresses;
    for (const auto& record : m_Records) {
        if (record->maxFrequency > threshold) addresses.push_back(record->address);
    }
    return addresses;
}

std::string DateTimeText(double dateTime) {
    // The value is local wall-clock time already: break it down without a zone.
    auto seconds = static_cast<std::time_t>(
        std::llround((dateTime - diag::kDateTimeEpochOffsetDays) * 86400.0));
    std::tm broken{};
    gmtime_r(&seconds, &broken);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &broken);
    return text;
}

std::array<std::string, 5> ConnectStaticColumns(const tagConnectStaticByIP& record) {
    return {record.address, std::to_string(record.totalConnections),
            std::to_string(record.currentFrequency), std::to_string(record.maxFrequency),
            DateTimeText(record.maxFrequencyTime)};
}

std::string MaxConnectFreqCaption() {
    char text[96];
    std::snprintf(text, sizeof text, "最大连接频率(周期:%d秒,超过导出)",
                  CConnectStatic::kPeriodSeconds);
    return text;
}

std::string DefaultExportFile(const std::string& exeFolder) {
    return client::JoinPath(exeFolder, "BlackList.ini");
}

std::string ConnectStaticExportText(const CConnectStatic& statistics, int threshold) {
    std::string text;
    for (const std::string& address : statistics.addressesAbove(threshold)) {
        text += address;
        text += '\n';
    }
    return text;
}

bool ExportConnectStatic(const CConnectStatic& statistics, int threshold,
                         const std::string& fileName, const client::OperatorNotice& notice) {
    std::string text = ConnectStaticExportText(statistics, threshold);
    std::string error;
    errno = 0;
    {
        std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            out.close();
        }
        if (!out) error = errno != 0 ? std::strerror(errno) : "write failed";
    }
    if (error.empty()) return true;
    char message[1024];
    std::snprintf(message, sizeof message, "Save File %s Exception:%s", fileName.c_str(),
                  error.c_str());
    client::NotifyOperator(notice, client::NoticeLevel::kError, message);
    return false;
}
