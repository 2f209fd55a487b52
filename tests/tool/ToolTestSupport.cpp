#include "tests/tool/ToolTestSupport.h"

#include <set>

namespace fuel::test {

std::string Listing(const std::filesystem::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::u8string name = entry.path().filename().u8string();
        names.insert(std::string(name.begin(), name.end()));
    }
    std::string listing;
    for (const std::string& name : names) {
        listing += (listing.empty() ? "" : " ") + name;
    }
    return listing;
}

namespace {

std::uint8_t Nibbles(std::uint8_t high, std::uint8_t low) {
    return static_cast<std::uint8_t>(((high & 0x0F) << 4) | (low & 0x0F));
}

}  // namespace

FakeCells::FakeCells(RecordingLink& link) {
    link.responder = [this](const Bytes& frame) -> Bytes {
        const Bytes data = DataOf(frame);
        if (data.size() < 4) {
            return {};
        }
        const std::uint8_t address = data[0];
        const char letter = static_cast<char>(data[1]);
        const std::uint8_t cell = Nibbles(data[2], data[3]);
        auto& memory = (letter == 'X' || letter == 'x') ? ram_[address] : rom_[address];
        if ((letter == 'x' || letter == 'y') && data.size() == 6) {
            memory[cell] = Nibbles(data[4], data[5]);
            ++writes;
            return {'A'};
        }
        if ((letter == 'X' || letter == 'Y') && data.size() == 4) {
            const std::uint8_t value = memory[cell];
            return DataReply({address, data[1], '0', static_cast<std::uint8_t>(0x30 + (value >> 4)),
                              static_cast<std::uint8_t>(0x30 + (value & 0x0F)), '0', '0'});
        }
        return {};
    };
}

}  // namespace fuel::test
