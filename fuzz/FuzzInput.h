// Reads typed values off the front of a fuzzer's input; past the end everything reads 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuel::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t Word() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | Byte();
        }
        return value;
    }
    double Quantity() { return static_cast<double>(static_cast<std::int32_t>(Word())) / 100.0; }
    std::vector<std::uint8_t> Bytes(std::size_t count) {
        std::vector<std::uint8_t> out;
        while (count-- > 0 && !Empty()) {
            out.push_back(Byte());
        }
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace fuel::fuzz
