// CPacketFilter: lets a deciphered client packet through by its first two bytes (command,
// sub-command) according to a decision table loaded from a text file.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "thread/zq_auto_lock.h"

class SettingsObject;

// Decision table: 256 x 256 bytes at index command * 256 + sub-command; 0 lets the pair
// through, anything else drops it. Every entry is 1 (drop) after construction and reset.
//
// Readers (the client worker thread, on every client packet) never lock and never see a table
// that is half written: the filter keeps two states and a reader count per state ("left-right").
// A reader takes the active state, counts itself in, checks that it is still active and reads
// it; a writer fills the inactive state once its readers have left and then makes it active.
// Writers (load, reset) are serialised among themselves.
//
// File format, one record per line (lines end at CR LF, LF or CR):
//   line 0             header, skipped whatever it holds
//   cmd TAB sub TAB d  cmd, sub: hexadecimal, optional "0x", blanks around; not a number = 0
//                      d: decimal; not a number = 0; 0 lets the pair through, any other drops
//                      further fields are ignored; a later line for a pair overrides
// A line with fewer than three fields (a blank line too) or a cmd/sub outside 0..255 is bad.
class CPacketFilter {
  public:
    static constexpr std::size_t kTableSize = 256 * 256;
    using Table = std::array<std::uint8_t, kTableSize>;

    CPacketFilter();
    CPacketFilter(const CPacketFilter&) = delete;
    CPacketFilter& operator=(const CPacketFilter&) = delete;

    bool isEnabled() const;

    // Sets the enabled flag to enabled and every table entry to 1; reset(false) switches off.
    void reset(bool enabled);

    // Loads the file at path into a fresh table and swaps it in. Missing or unreadable file
    // (fatal line) or fewer than two lines (warn line): false, table and flag unchanged.
    // Otherwise the new table is in force with the good lines stored; the filter is enabled
    // when every line was good (true), else it ends off (one fatal line per bad line, false).
    bool load(const std::string& path);

    // True when the table entry of the pair is not 0 (independent of the enabled flag).
    bool rejects(std::uint8_t command, std::uint8_t subCommand) const;

    // The check of a client data packet: true when it may go on. A disabled filter passes
    // everything; a packet shorter than two bytes is never read and passes.
    bool allows(std::span<const std::uint8_t> packet) const;

  private:
    struct State {
        bool enabled = false;
        Table table;
    };

    template <typename Fn>
    auto read(Fn&& fn) const;
    template <typename Fn>
    void publish(Fn&& fill);

    State m_States[2];
    std::atomic<int> m_Active{0};
    mutable std::atomic<int> m_Readers[2];
    CriticalSection m_WriteLock;
};

// Applies the packet filter settings "chkIsUsePackFilter", "edtPackFilterConfig" (folder; empty:
// exeFolder) and "cbbPacketFilter" (0 "PCPacketFilterConfig.txt", 1
// "MobilePacketFilterConfig.txt"). A switched-off setting, an unknown kind or a failed load leaves
// the filter off; the last two also set "chkIsUsePackFilter" to false in memory (settings are not
// saved). True when the filter ends on.
bool ApplyPackFilterSettings(CPacketFilter& filter, SettingsObject& settings,
                             const std::string& exeFolder);
