// The packet key dictionary: the key of every received client packet comes from it.
#pragma once

#include <cstdint>

// Virtual slots: destructor, FetchKey.
class IPackKeyDictFetcher {
  public:
    virtual ~IPackKeyDictFetcher() = default;
    // The 32-bit key for a packet index and a seed.
    virtual std::uint32_t FetchKey(int index, std::uint32_t seed) = 0;
};

class KestPackKeyDictFetcher final : public IPackKeyDictFetcher {
  public:
    static constexpr unsigned kWordCount = 1024;

    // The dictionary word at (index AND 0x3FF), exclusive-or the seed.
    std::uint32_t FetchKey(int index, std::uint32_t seed) override;
    // The dictionary word at (index AND 0x3FF).
    static std::uint32_t Word(unsigned index);
};

// The process-wide dictionary reader; read-only, shared by all threads without a lock.
IPackKeyDictFetcher& GetPackKeyDictFetcher();
