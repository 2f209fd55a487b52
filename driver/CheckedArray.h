// Tables indexed from an arbitrary lower bound, with every index checked on every access.
// Host arguments and reply bytes index these tables directly, so an index out of range must
// end in ERangeError, never in a stray read or write.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "driver/Exceptions.h"

namespace fuel {

template <typename T, std::int64_t Low, std::int64_t High>
class CheckedArray {
    static_assert(Low <= High);

  public:
    static constexpr std::int64_t kLow = Low;
    static constexpr std::int64_t kHigh = High;
    static constexpr std::size_t kSize = static_cast<std::size_t>(High - Low + 1);

    static constexpr bool Contains(std::int64_t index) { return index >= Low && index <= High; }

    static void Check(std::int64_t index) {
        if (!Contains(index)) {
            throw ERangeError();
        }
    }

    T& operator[](std::int64_t index) {
        Check(index);
        return items_[static_cast<std::size_t>(index - Low)];
    }
    const T& operator[](std::int64_t index) const {
        Check(index);
        return items_[static_cast<std::size_t>(index - Low)];
    }

    void Fill(const T& value) { items_.fill(value); }

    bool operator==(const CheckedArray&) const = default;

    auto begin() { return items_.begin(); }
    auto end() { return items_.end(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

  private:
    std::array<T, kSize> items_{};
};

// A read-only view of a byte buffer whose valid indexes are 0..high, as the line hands it
// over; high may be -1 for an empty buffer.
class CheckedBytes {
  public:
    CheckedBytes(const std::uint8_t* data, std::int32_t high) : data_(data), high_(high) {}

    std::uint8_t operator[](std::int64_t index) const {
        if (index < 0 || index > high_ || data_ == nullptr) {
            throw ERangeError();
        }
        return data_[index];
    }
    std::int32_t High() const { return high_; }

  private:
    const std::uint8_t* data_;
    std::int32_t high_;
};

}  // namespace fuel
