// The logging end of the record convention.
#include "packet/wire.h"

#include "diag/log.h"

namespace wire {

void LogRecordMismatch(const char* typeName, std::span<const std::uint8_t> given) {
    std::string format = "Error in ";
    format += typeName;
    format += " : %s ";
    std::string dump = diag::HexDump(given);
    diag::GetLog().logWarn(format.c_str(), dump.c_str());
}

std::size_t FinishRead(const char* typeName, const Reader& reader, std::size_t expected,
                       std::size_t onMismatch) {
    if (reader.overrun()) {
        LogRecordMismatch(typeName, reader.input());
        return 0;
    }
    if (expected == 0 || expected == reader.position()) return reader.position();
    LogRecordMismatch(typeName, reader.input());
    return onMismatch;
}

}  // namespace wire
