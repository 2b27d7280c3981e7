// OptionTable: the option list of a tool turned into getopt_long's table and applied to the
// fields it names.
#include "tools/common/tool_options.h"

#include <getopt.h>

#include <cstdlib>

namespace tools {

OptionTable& OptionTable::Add(const char* name, Kind kind, void* to, bool value) {
    entries_.push_back({name, kind, to, value});
    return *this;
}

OptionTable& OptionTable::Int(const char* name, int* to) {
    return Add(name, Kind::kInt, to);
}
OptionTable& OptionTable::Long(const char* name, long* to) {
    return Add(name, Kind::kLong, to);
}
OptionTable& OptionTable::Double(const char* name, double* to) {
    return Add(name, Kind::kDouble, to);
}
OptionTable& OptionTable::Text(const char* name, std::string* to) {
    return Add(name, Kind::kText, to);
}
OptionTable& OptionTable::Unsigned(const char* name, std::uint32_t* to) {
    return Add(name, Kind::kUnsigned, to);
}
OptionTable& OptionTable::Count(const char* name, std::uint64_t* to) {
    return Add(name, Kind::kCount, to);
}
OptionTable& OptionTable::Flag(const char* name, bool* to, bool value) {
    return Add(name, Kind::kFlag, to, value);
}

std::optional<int> OptionTable::Parse(int argc, char** argv) const {
    // getopt_long returns 1000 + the entry's index; --help comes after the entries.
    constexpr int kFirst = 1000;
    const int help = kFirst + static_cast<int>(entries_.size());
    std::vector<option> longs;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        longs.push_back({e.name, e.kind == Kind::kFlag ? no_argument : required_argument, nullptr,
                         kFirst + static_cast<int>(i)});
    }
    longs.push_back({"help", no_argument, nullptr, help});
    longs.push_back({nullptr, 0, nullptr, 0});

    int ch;
    while ((ch = getopt_long(argc, argv, "", longs.data(), nullptr)) != -1) {
        if (ch == help) {
            usage_(stdout);
            return 0;
        }
        if (ch < kFirst || ch >= help) {
            usage_(stderr);
            return 1;
        }
        const Entry& e = entries_[static_cast<std::size_t>(ch - kFirst)];
        switch (e.kind) {
            case Kind::kInt:
                *static_cast<int*>(e.to) = std::atoi(optarg);
                break;
            case Kind::kLong:
                *static_cast<long*>(e.to) = std::atol(optarg);
                break;
            case Kind::kDouble:
                *static_cast<double*>(e.to) = std::atof(optarg);
                break;
            case Kind::kText:
                *static_cast<std::string*>(e.to) = optarg;
                break;
            case Kind::kUnsigned:
                *static_cast<std::uint32_t*>(e.to) =
                    static_cast<std::uint32_t>(std::strtoul(optarg, nullptr, 0));
                break;
            case Kind::kCount:
                *static_cast<std::uint64_t*>(e.to) = std::strtoull(optarg, nullptr, 10);
                break;
            case Kind::kFlag:
                *static_cast<bool*>(e.to) = e.value;
                break;
        }
    }
    if (optind < argc) {
        usage_(stderr);
        return 1;
    }
    return std::nullopt;
}

}  // namespace tools
