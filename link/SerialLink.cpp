// The platform-independent half of the serial link: the port map, the channel tables and
// the exchange with its time-outs and retries. Only SerialPort touches the operating system.
#include "link/SerialLink.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

#include "link/SerialPort.h"
#include "link/TcpPort.h"

namespace fuel {
namespace {

using Clock = Port::Clock;

// Bounds the wait for a quiet line after a rejected reply: a controller babbling without end
// must not hold the exchange.
constexpr std::size_t kMaxDrainBytes = 1024;

std::string Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

std::optional<std::uint32_t> Number(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

[[noreturn]] void Refuse(std::size_t line, const std::string& what) {
    throw PortMapError("port map line " + std::to_string(line) + ": " + what);
}

void ParseOption(PortSettings& port, std::size_t line, std::string_view option) {
    const auto equals = option.find('=');
    if (equals == std::string_view::npos) {
        Refuse(line, "\"" + std::string(option) + "\" is not a key=value setting");
    }
    const std::string key(option.substr(0, equals));
    const std::string_view text = option.substr(equals + 1);
    const auto number = Number(text);
    const auto bad = [&](const std::string& expected) {
        Refuse(line, key + "=" + std::string(text) + ": expected " + expected);
    };
    if (key == "baud") {
        if (!number || *number == 0) {
            bad("a baud rate such as 4800");
        }
        port.baudRate = *number;
    } else if (key == "timeout" || key == "interbyte" || key == "connect") {
        if (!number || *number == 0 || *number > 60000) {
            bad("milliseconds, 1 to 60000");
        }
        (key == "timeout"     ? port.replyTimeout
         : key == "interbyte" ? port.interByteTimeout
                              : port.connectTimeout) = Milliseconds(*number);
    } else if (port.IsTcp() && (key == "data" || key == "parity" || key == "stop")) {
        Refuse(line, key + "= is set on the converter, not through a tcp:// line");
    } else if (key == "data") {
        if (!number || *number < 5 || *number > 8) {
            bad("5, 6, 7 or 8 data bits");
        }
        port.dataBits = static_cast<std::uint8_t>(*number);
    } else if (key == "parity") {
        if (text == "none") {
            port.parity = Parity::None;
        } else if (text == "even") {
            port.parity = Parity::Even;
        } else if (text == "odd") {
            port.parity = Parity::Odd;
        } else {
            bad("none, even or odd");
        }
    } else if (key == "stop") {
        if (!number || (*number != 1 && *number != 2)) {
            bad("1 or 2 stop bits");
        }
        port.stopBits = static_cast<std::uint8_t>(*number);
    } else if (key == "attempts") {
        if (!number || *number < 1 || *number > RetryPolicy::kMaxAttempts) {
            bad("1 to " + std::to_string(RetryPolicy::kMaxAttempts) + " sends per exchange");
        }
        port.retry.attempts = static_cast<int>(*number);
    } else {
        Refuse(line, "unknown setting \"" + key +
                         "\" (known: baud, timeout, interbyte, connect, data, parity, stop, "
                         "attempts)");
    }
}

// What is wrong with a port map entry as a whole; empty when nothing is.
std::string Problem(const PortSettings& port) {
    if (port.IsTcp()) {
        try {
            ParseTcpAddress(port.device);
        } catch (const std::invalid_argument& error) {
            return error.what();
        }
    } else if (port.connectTimeout) {
        return "connect= is for tcp:// lines only, not " + port.device;
    }
    return {};
}

}  // namespace

Milliseconds DefaultInterByteTimeout(Milliseconds replyTimeout, std::uint32_t baudRate) {
    return replyTimeout +
           std::chrono::ceil<Milliseconds>(WireTime(3, LineSettings{.baudRate = baudRate}));
}

std::chrono::microseconds WireTime(std::size_t count, const LineSettings& line) {
    const std::uint64_t bitsPerByte =
        1u + line.dataBits + (line.parity == Parity::None ? 0u : 1u) + line.stopBits;
    const std::uint64_t baud = std::max<std::uint32_t>(line.baudRate, 1);
    return std::chrono::microseconds((count * bitsPerByte * 1'000'000 + baud - 1) / baud);
}

// ---- Port map

PortMap PortMap::Parse(std::string_view text) {
    PortMap map;
    std::size_t lineNumber = 0;
    std::istringstream lines{std::string(text)};
    for (std::string raw; std::getline(lines, raw);) {
        ++lineNumber;
        const std::string line = Trimmed(std::string_view(raw).substr(0, raw.find('#')));
        if (line.empty()) {
            continue;
        }
        std::istringstream words(line);
        std::string channelText;
        PortSettings port;
        words >> channelText >> port.device;
        const auto channel = Number(channelText);
        if (!channel || *channel < 1 || *channel > 32) {
            Refuse(lineNumber, "\"" + channelText + "\" is not a channel 1..32");
        }
        if (port.device.empty()) {
            Refuse(lineNumber, "channel " + channelText + " has no device");
        }
        if (map.Find(*channel) != nullptr) {
            Refuse(lineNumber, "channel " + channelText + " is mapped twice");
        }
        for (std::string option; words >> option;) {
            ParseOption(port, lineNumber, option);
        }
        if (const std::string problem = Problem(port); !problem.empty()) {
            Refuse(lineNumber, problem);
        }
        map.Assign(*channel, std::move(port));
    }
    return map;
}

PortMap PortMap::Load(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw PortMapError("cannot read the port map " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    try {
        return Parse(text.str());
    } catch (const PortMapError& error) {
        throw PortMapError(path + ": " + error.what());
    }
}

bool PortSettings::IsTcp() const {
    return IsTcpDevice(device);
}

void PortMap::Assign(std::uint32_t channel, PortSettings settings) {
    CheckedArray<int, 1, 32>::Check(channel);
    if (settings.retry.attempts < 1 || settings.retry.attempts > RetryPolicy::kMaxAttempts) {
        throw PortMapError("channel " + std::to_string(channel) + ": attempts must be 1.." +
                           std::to_string(RetryPolicy::kMaxAttempts));
    }
    if (const std::string problem = Problem(settings); !problem.empty()) {
        throw PortMapError("channel " + std::to_string(channel) + ": " + problem);
    }
    ports_[channel] = std::move(settings);
}

const PortSettings* PortMap::Find(std::uint32_t channel) const {
    const auto found = ports_.find(channel);
    return found == ports_.end() ? nullptr : &found->second;
}

// ---- The link

SerialLink::SerialLink(PortMap ports) : ports_(std::move(ports)) {
    for (const auto& [number, settings] : ports_.Entries()) {
        channels_[number].settings = &settings;
    }
}

SerialLink::~SerialLink() = default;

std::int32_t SerialLink::GetChannelError(std::uint32_t channel) {
    return channels_[channel].error;
}

void SerialLink::SetChannelError(std::uint32_t channel, std::int32_t code) {
    channels_[channel].error = code;
}

void SerialLink::SetChannelState(std::uint32_t channel, std::int32_t state) {
    channels_[channel].state = state;
}

std::int32_t SerialLink::GetChannelState(std::uint32_t channel) {
    return channels_[channel].state;
}

void SerialLink::SetReplyValidator(std::uint32_t channel, ReplyHandler handler) {
    channels_[channel].check = handler;
}

void SerialLink::SetLineInitializer(std::uint32_t channel, LineInitializer handler) {
    channels_[channel].initializer = handler;
}

const std::string& SerialLink::LastProblem(std::uint32_t channel) const {
    return channels_[channel].problem;
}

bool SerialLink::IsOpen(std::uint32_t channel) const {
    return channels_[channel].port != nullptr;
}

LineSettings SerialLink::LineOf(const Channel& channel) const {
    LineSettings line;
    line.baudRate = channel.requestedBaudRate;
    if (channel.settings != nullptr) {
        line.baudRate = channel.settings->baudRate.value_or(line.baudRate);
        line.dataBits = channel.settings->dataBits;
        line.parity = channel.settings->parity;
        line.stopBits = channel.settings->stopBits;
    }
    return line;
}

Milliseconds SerialLink::ReplyTimeoutOf(const Channel& channel) const {
    return channel.settings != nullptr && channel.settings->replyTimeout
               ? *channel.settings->replyTimeout
               : Milliseconds(channel.requestedTimeout);
}

Milliseconds SerialLink::InterByteTimeoutOf(const Channel& channel) const {
    if (channel.settings != nullptr && channel.settings->interByteTimeout) {
        return *channel.settings->interByteTimeout;
    }
    return DefaultInterByteTimeout(ReplyTimeoutOf(channel), LineOf(channel).baudRate);
}

std::int32_t SerialLink::Fail(Channel& channel, std::int32_t code) {
    channel.state = link_state::kBad;
    channel.error = code;
    return code;
}

void SerialLink::PortFailed(std::uint32_t number, Channel& channel, const std::string& problem) {
    channel.port.reset();
    channel.problem = problem;
    ++counters_.portFailures;
    if (onPortFailure) {
        onPortFailure(number, problem);
    }
}

std::int32_t SerialLink::Open(std::uint32_t number, Channel& channel) {
    if (channel.settings == nullptr) {
        channel.problem = "channel " + std::to_string(number) + " has no port in the port map";
        return line_code::kNoPort;
    }
    try {
        const PortSettings& settings = *channel.settings;
        if (settings.IsTcp()) {
            channel.port = std::make_unique<TcpPort>(
                settings.device, settings.connectTimeout.value_or(kDefaultConnectTimeout));
        } else {
            channel.port = std::make_unique<SerialPort>(settings.device);
        }
    } catch (const PortError& error) {
        PortFailed(number, channel, error.what());
        return line_code::kPortUnavailable;
    }
    try {
        channel.port->Apply(LineOf(channel));
    } catch (const PortError& error) {
        PortFailed(number, channel, error.what());
        return line_code::kBadSettings;
    }
    ++counters_.opens;
    channel.problem.clear();
    if (channel.initializer && !channel.initializing) {
        // The driver's settings routine calls back into ConfigureLine, which now finds the
        // port open and only applies them.
        channel.initializing = true;
        std::int32_t result;
        try {
            result = channel.initializer(number);
        } catch (...) {
            channel.initializing = false;
            channel.port.reset();
            throw;
        }
        channel.initializing = false;
        if (result != 0) {
            channel.port.reset();
            return result;
        }
    }
    return 0;
}

std::int32_t SerialLink::ConfigureLine(std::uint32_t channel, std::uint32_t timeout,
                                       std::uint32_t baudRate) {
    Channel& line = channels_[channel];
    if (baudRate == 0 || timeout == 0) {
        return line_code::kBadSettings;
    }
    line.requestedTimeout = timeout;
    line.requestedBaudRate = baudRate;
    if (!line.port) {
        return Open(channel, line);
    }
    try {
        line.port->Apply(LineOf(line));
    } catch (const PortError& error) {
        PortFailed(channel, line, error.what());
        return line_code::kBadSettings;
    }
    return 0;
}

std::size_t SerialLink::ReadReply(Channel& channel, std::span<std::uint8_t> reply,
                                  Clock::time_point firstByteDeadline) {
    std::size_t received = channel.port->Read(reply, firstByteDeadline);
    const auto gap = InterByteTimeoutOf(channel);
    // The reply is complete when its bytes are in; only a gap longer than the inter-byte
    // time-out ends it early. The gap counts from when a read returned, which is never
    // before the byte came.
    while (received > 0 && received < reply.size()) {
        const std::size_t more = channel.port->Read(reply.subspan(received), Clock::now() + gap);
        if (more == 0) {
            break;
        }
        received += more;
    }
    return received;
}

void SerialLink::CountLineTime(const Channel& channel, Clock::duration spent, std::size_t bytes) {
    if (channel.settings->IsTcp()) {
        counters_.networkTime += spent;
        return;
    }
    counters_.serialTime += spent;
    counters_.wireTime += WireTime(bytes, LineOf(channel));
}

void SerialLink::DrainUntilQuiet(Channel& channel) {
    channel.port->DiscardInput();
    std::array<std::uint8_t, 64> scratch;
    // As long as a reply may take to start: the tail of a late or garbled reply to the last
    // attempt must be gone before the retry's reply is read.
    const auto quiet = std::max(InterByteTimeoutOf(channel), ReplyTimeoutOf(channel));
    for (std::size_t drained = 0; drained < kMaxDrainBytes;) {
        const std::size_t got = channel.port->Read(scratch, Clock::now() + quiet);
        if (got == 0) {
            return;
        }
        drained += got;
    }
}

std::int32_t SerialLink::Transact(std::uint32_t channel, const std::uint8_t* frame,
                                  std::uint8_t frameLength, std::uint8_t* reply,
                                  std::uint8_t replyLength, std::uint32_t) {
    Channel& line = channels_[channel];
    ++counters_.exchanges;
    const auto fail = [&](std::int32_t code) {
        CountExchange(false, {});
        return Fail(line, code);
    };
    if (frame == nullptr || frameLength == 0 || reply == nullptr || replyLength == 0) {
        return fail(line_code::kBadRequest);
    }
    if (!line.port) {
        const std::int32_t opened = Open(channel, line);
        if (opened != 0) {
            return fail(opened);
        }
    }

    const std::span<const std::uint8_t> request(frame, frameLength);
    const std::span<std::uint8_t> answer(reply, replyLength);
    const int attempts = line.settings->retry.attempts;
    const auto started = Clock::now();
    std::int32_t outcome = line_code::kSilence;

    for (int attempt = 1; attempt <= attempts; ++attempt) {
        BeginAttempt(channel);
        std::size_t received = 0;
        try {
            if (attempt == 1) {
                line.port->DiscardInput();
            } else {
                DrainUntilQuiet(line);
            }
            // Our own frame's wire time passes before the controller can start to answer.
            const auto firstByteDeadline =
                Clock::now() + WireTime(frameLength, LineOf(line)) + ReplyTimeoutOf(line);
            if (onFrame) {
                onFrame(channel, request, attempt);
            }
            const auto sending = Clock::now();
            line.port->Write(request, firstByteDeadline);
            // Counted once sent: a line that failed before (a converter that closed the
            // connection is found out only here) sent nothing.
            ++counters_.attempts;
            counters_.retries += attempt > 1 ? 1 : 0;
            counters_.bytesSent += frameLength;
            received = ReadReply(line, answer, firstByteDeadline);
            CountLineTime(line, Clock::now() - sending, frameLength + received);
        } catch (const PortError& error) {
            PortFailed(channel, line, error.what());
            return fail(line_code::kPortUnavailable);
        }
        counters_.bytesReceived += received;

        AttemptVerdict verdict;
        if (received == 0) {
            ++counters_.timeouts;
            Fail(line, line_code::kSilence);
            verdict.code = line.error;
            verdict.state = line.state;
        } else {
            verdict = Judge(channel, line.check, reply, std::int32_t{replyLength} - 1,
                            static_cast<std::uint8_t>(received), replyLength);
        }
        verdict.attempt = attempt;
        verdict.expectedCount = replyLength;
        outcome = verdict.code;
        if (verdict.accepted) {
            CountExchange(true, Clock::now() - started);
        }
        if (onReply) {
            onReply(channel, answer.first(received), verdict);
        }
        if (verdict.accepted) {
            return 0;
        }
    }
    return fail(outcome);
}

}  // namespace fuel
