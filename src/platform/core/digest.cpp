// The content checksum of the run records: eight bytes at a time, with the
// length folded in, so that a file edited after a run is told from the
// one the run wrote even when its size and times were kept.
#include "platform/core/native.h"

#include <cstring>

namespace tw::platform::native {

namespace {

constexpr std::uint64_t kMultiplier = 0x9FB21C651E98DF25ull;

std::uint64_t rotated(std::uint64_t x, int by) { return (x << by) | (x >> (64 - by)); }

std::uint64_t folded(std::uint64_t state, std::uint64_t word)
{
    return rotated((state ^ word) * kMultiplier, 29) + 0x2545F4914F6CDD1Dull;
}

std::uint64_t finished(std::uint64_t x)
{
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    return x ^ (x >> 33);
}

}  // namespace

void Digest::add(const char* bytes, std::size_t size)
{
    total_ += size;
    while (size > 0 && pending_bytes_ > 0 && pending_bytes_ < 8) {
        pending_ |= std::uint64_t{static_cast<unsigned char>(*bytes++)} << (8 * pending_bytes_++);
        --size;
    }
    if (pending_bytes_ == 8) {
        state_ = folded(state_, pending_);
        pending_ = 0;
        pending_bytes_ = 0;
    }
    for (; size >= 8; bytes += 8, size -= 8) {
        std::uint64_t word = 0;
        for (int i = 0; i < 8; ++i)
            word |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
        state_ = folded(state_, word);
    }
    for (; size > 0; --size)
        pending_ |= std::uint64_t{static_cast<unsigned char>(*bytes++)} << (8 * pending_bytes_++);
}

std::uint64_t Digest::value() const
{
    std::uint64_t state = pending_bytes_ > 0 ? folded(state_, pending_ ^ (std::uint64_t{pending_bytes_} << 59)) : state_;
    return finished(state ^ total_);
}

}  // namespace tw::platform::native
