// Long-option parsing for the tools: a table of named options, each bound to the field it sets,
// read with getopt_long. Every tool also gets --help.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tools {

class OptionTable {
  public:
    // The tool's usage text, written to stdout for --help and to stderr on a bad command line.
    using UsageFn = void (*)(FILE* out);

    explicit OptionTable(UsageFn usage) : usage_(usage) {}

    // Options with an argument. The converters are those of the C library, so a malformed number
    // reads as 0 (or as far as it parses); range checks are the tool's own.
    OptionTable& Int(const char* name, int* to);                 // atoi
    OptionTable& Long(const char* name, long* to);               // atol
    OptionTable& Double(const char* name, double* to);           // atof
    OptionTable& Text(const char* name, std::string* to);        // as given
    OptionTable& Unsigned(const char* name, std::uint32_t* to);  // strtoul, base 0 (0x.. works)
    OptionTable& Count(const char* name, std::uint64_t* to);     // strtoull, base 10
    // An option without an argument: it stores `value` in *to.
    OptionTable& Flag(const char* name, bool* to, bool value);

    // Reads argv in order. Returns nothing when the tool should go on; otherwise the exit code:
    // 0 after --help (usage on stdout), 1 for an unknown option, a missing argument or a
    // positional argument (usage on stderr). The bound fields stay alive during the call.
    std::optional<int> Parse(int argc, char** argv) const;

  private:
    enum class Kind { kInt, kLong, kDouble, kText, kUnsigned, kCount, kFlag };
    struct Entry {
        const char* name;
        Kind kind;
        void* to;
        bool value;
    };
    OptionTable& Add(const char* name, Kind kind, void* to, bool value = false);

    UsageFn usage_;
    std::vector<Entry> entries_;
};

}  // namespace tools
