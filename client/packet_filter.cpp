// The packet-type filter: parsing of the configuration file and the lock-free table swap.
#include "client/packet_filter.h"

#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "client/client_files.h"
#include "diag/log.h"
#include "modules/settings_object.h"

namespace {

constexpr const char* kPcFileName = "PCPacketFilterConfig.txt";
constexpr const char* kMobileFileName = "MobilePacketFilterConfig.txt";

std::string_view StripBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A whole field read as a number of the given base, or nullopt when it is not one. Values too
// large for 64 bits saturate (they are out of every range the callers accept).
std::optional<long long> ParseNumber(std::string_view text, int base) {
    text = StripBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    constexpr long long kSaturated = 1LL << 62;
    unsigned long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (end != text.data() + text.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range ||
        value > static_cast<unsigned long long>(kSaturated)) {
        value = static_cast<unsigned long long>(kSaturated);
    } else if (ec != std::errc()) {
        return std::nullopt;
    }
    long long signedValue = static_cast<long long>(value);
    return negative ? -signedValue : signedValue;
}

long long NumberOrZero(std::string_view text, int base) {
    return ParseNumber(text, base).value_or(0);
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    for (;;) {
        std::size_t tab = line.find('\t');
        fields.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos) break;
        line.remove_prefix(tab + 1);
    }
    return fields;
}

}  // namespace

CPacketFilter::CPacketFilter() {
    for (State& state : m_States) {
        state.enabled = false;
        state.table.fill(1);
    }
    m_Readers[0].store(0);
    m_Readers[1].store(0);
}

// Reader side: count in on the active state, confirm it is still active, read, count out.
// A writer fills only a state whose count is 0 and which is not active, so a confirmed reader
// always sees a complete state. A reader retries only when a writer swapped in between.
template <typename Fn>
auto CPacketFilter::read(Fn&& fn) const {
    for (;;) {
        int index = m_Active.load(std::memory_order_seq_cst);
        m_Readers[index].fetch_add(1, std::memory_order_seq_cst);
        if (m_Active.load(std::memory_order_seq_cst) == index) {
            auto result = fn(m_States[index]);
            m_Readers[index].fetch_sub(1, std::memory_order_release);
            return result;
        }
        m_Readers[index].fetch_sub(1, std::memory_order_release);
    }
}

template <typename Fn>
void CPacketFilter::publish(Fn&& fill) {
    ZQAutoLock lock(m_WriteLock);
    int next = 1 - m_Active.load(std::memory_order_seq_cst);
    // Readers that took this state before the previous swap may still be reading it.
    while (m_Readers[next].load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    fill(m_States[next]);
    m_Active.store(next, std::memory_order_seq_cst);
}

bool CPacketFilter::isEnabled() const {
    return read([](const State& state) { return state.enabled; });
}

void CPacketFilter::reset(bool enabled) {
    publish([enabled](State& state) {
        state.enabled = enabled;
        state.table.fill(1);
    });
}

bool CPacketFilter::rejects(std::uint8_t command, std::uint8_t subCommand) const {
    std::size_t index = static_cast<std::size_t>(command) * 256 + subCommand;
    return read([index](const State& state) { return state.table[index] != 0; });
}

bool CPacketFilter::allows(std::span<const std::uint8_t> packet) const {
    if (packet.size() < 2) return true;
    std::size_t index = static_cast<std::size_t>(packet[0]) * 256 + packet[1];
    return read([index](const State& state) { return !state.enabled || state.table[index] == 0; });
}

bool CPacketFilter::load(const std::string& path) {
    LogObject& log = diag::GetLog();
    std::vector<std::string> lines;
    std::string error;
    switch (client::ReadTextLines(path, &lines, &error)) {
        case client::ReadLinesResult::kMissing:
            log.fatal("Pack filter config file doesn't exist! file pah = %s", path.c_str());
            return false;
        case client::ReadLinesResult::kReadError:
            log.fatal("%s", error.c_str());
            return false;
        case client::ReadLinesResult::kOk:
            break;
    }
    if (lines.size() < 2) {
        log.warn("Packet filter config： count = %d", static_cast<int>(lines.size()));
        return false;
    }

    // The new table is built aside and swapped in whole.
    auto table = std::make_unique<Table>();
    table->fill(1);
    bool ok = true;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string_view> fields = SplitTabs(lines[i]);
        long long command = fields.size() >= 3 ? NumberOrZero(fields[0], 16) : -1;
        long long subCommand = fields.size() >= 3 ? NumberOrZero(fields[1], 16) : -1;
        if (command < 0 || command > 255 || subCommand < 0 || subCommand > 255) {
            ok = false;
            log.fatal("Packet filter config error: line %d", static_cast<int>(i));
            continue;
        }
        // Any decision but 0 drops the pair (a value such as 256 must not wrap round to "pass").
        long long decision = NumberOrZero(fields[2], 10);
        (*table)[static_cast<std::size_t>(command) * 256 + static_cast<std::size_t>(subCommand)] =
            decision != 0 ? 1 : 0;
    }

    publish([&](State& state) {
        std::memcpy(state.table.data(), table->data(), kTableSize);
        state.enabled = ok;
    });
    return ok;
}

bool ApplyPackFilterSettings(CPacketFilter& filter, SettingsObject& settings,
                             const std::string& exeFolder) {
    if (!settings.getBool("chkIsUsePackFilter", false)) {
        filter.reset(false);
        return false;
    }
    std::string folder = client::SettingsPath(settings.getString("edtPackFilterConfig", ""));
    if (folder.empty()) folder = exeFolder;

    const char* fileName = nullptr;
    switch (settings.getInt("cbbPacketFilter", 0)) {
        case 0:
            fileName = kPcFileName;
            break;
        case 1:
            fileName = kMobileFileName;
            break;
        default:
            settings.setBool("chkIsUsePackFilter", false);
            filter.reset(false);
            return false;
    }

    if (!filter.load(client::JoinPath(folder, fileName))) {
        settings.setBool("chkIsUsePackFilter", false);
        filter.reset(false);
        return false;
    }
    return true;
}
