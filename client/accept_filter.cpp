// The accept filter: address list, decisions, hit records and the apply of its settings.
#include "client/accept_filter.h"

#include <cstdio>

#include "client/client_files.h"
#include "diag/log.h"
#include "modules/settings_object.h"

void CAcceptFilter::setMode(int mode) {
    m_Mode.store(mode, std::memory_order_release);
    ZQAutoLock lock(m_RecordsLock);
    m_RecordIndex.clear();
    m_Records.clear();
}

bool CAcceptFilter::load(const std::string& fileName) {
    std::vector<std::string> lines;
    std::string error;
    switch (client::ReadTextLines(fileName, &lines, &error)) {
        case client::ReadLinesResult::kMissing:
            return false;
        case client::ReadLinesResult::kReadError:
            diag::GetLog().error("Accept file %s : %s", fileName.c_str(), error.c_str());
            return false;
        case client::ReadLinesResult::kOk:
            break;
    }
    std::unordered_set<std::string> list;
    list.reserve(lines.size());
    for (const std::string& line : lines) list.insert(client::LowerAscii(line));

    ZQAutoLock lock(m_ListLock);
    m_List.swap(list);
    return true;
}

bool CAcceptFilter::check(std::string_view address) {
    std::string trimmed = client::TrimText(address);
    int mode = this->mode();
    if (mode != kModeBlackList && mode != kModeWhiteList) return true;

    bool listed = false;
    {
        ZQAutoLock lock(m_ListLock);
        listed = m_List.contains(client::LowerAscii(trimmed));
    }
    if (listed) {
        ZQAutoLock lock(m_RecordsLock);
        auto found = m_RecordIndex.find(trimmed);
        tagAcceptRec* record = nullptr;
        if (found != m_RecordIndex.end()) {
            record = found->second;
        } else {
            m_Records.push_back(std::make_unique<tagAcceptRec>());
            record = m_Records.back().get();
            record->address = trimmed;
            m_RecordIndex.emplace(trimmed, record);
        }
        ++record->hitCount;
    }
    return mode == kModeBlackList ? !listed : listed;
}

std::size_t CAcceptFilter::listSize() const {
    ZQAutoLock lock(m_ListLock);
    return m_List.size();
}

int CAcceptFilter::recordCount() const {
    ZQAutoLock lock(m_RecordsLock);
    return static_cast<int>(m_Records.size());
}

std::optional<tagAcceptRec> CAcceptFilter::record(int index) const {
    ZQAutoLock lock(m_RecordsLock);
    if (index < 0 || static_cast<std::size_t>(index) >= m_Records.size()) return std::nullopt;
    return *m_Records[static_cast<std::size_t>(index)];
}

std::vector<tagAcceptRec> CAcceptFilter::snapshot() const {
    ZQAutoLock lock(m_RecordsLock);
    std::vector<tagAcceptRec> rows;
    rows.reserve(m_Records.size());
    for (const auto& record : m_Records) rows.push_back(*record);
    return rows;
}

std::array<std::string, 2> AcceptRecordColumns(const tagAcceptRec& record) {
    return {record.address, std::to_string(record.hitCount)};
}

std::optional<AcceptViewCaptions> AcceptViewCaptionsFor(int mode) {
    if (mode == CAcceptFilter::kModeBlackList)
        return AcceptViewCaptions{"Black List", "Block Count"};
    if (mode == CAcceptFilter::kModeWhiteList)
        return AcceptViewCaptions{"White List", "Pass Count"};
    return std::nullopt;
}

AcceptApplyResult ApplyAcceptFilterSettings(CAcceptFilter& filter, SettingsObject& settings,
                                            const std::string& exeFolder,
                                            const client::OperatorNotice& notice) {
    int mode = settings.getInt("cbb_AcceptMode", 0);
    if (mode == -1 || mode == 0) return AcceptApplyResult::kUnchanged;

    std::string name = client::TrimText(settings.getString("edt_AcceptFile", ""));
    if (name.empty()) {
        client::NotifyOperator(notice, client::NoticeLevel::kWarn, "Accept file not specified!");
        return AcceptApplyResult::kNoFileName;
    }
    std::string path = client::JoinPath(exeFolder, client::SettingsPath(name));

    filter.setMode(mode);
    if (!filter.load(path)) {
        char message[1024];
        std::snprintf(message, sizeof message, "Accept file %s not found!", path.c_str());
        client::NotifyOperator(notice, client::NoticeLevel::kWarn, message);
        return AcceptApplyResult::kFileNotFound;
    }
    return AcceptApplyResult::kLoaded;
}
