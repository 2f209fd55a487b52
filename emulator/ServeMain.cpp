// fuel-emulator: the controller emulator on a serial line, for a host that opens a port, or
// behind an emulated serial-to-Ethernet converter, for a host that connects to one.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/TraceFile.h"
#include "driver/TraceSettings.h"
#include "driver/Version.h"
#include "emulator/BuiltInBus.h"
#include "emulator/Customers.h"
#include "emulator/Emulator.h"
#include "emulator/MemoryFile.h"
#include "emulator/SerialServer.h"
#include "emulator/ServeTrace.h"
#include "emulator/TcpServer.h"

namespace {

using namespace fuel::emulator;

constexpr std::string_view kUsage = R"(Usage: fuel-emulator [OPTIONS]

Serves the controller emulator on a serial line, as a host meets real controllers: on a new
pseudo-terminal (the default), whose device path it prints on the first line of standard
output, on a real serial device, or on a TCP port as a serial-to-Ethernet converter in TCP
server mode offers it, whose address (tcp://127.0.0.1:PORT) it prints instead. It answers
until interrupted (Ctrl-C or SIGTERM). SIGUSR1 is closing time for the customers: none
comes unasked any more, and those at the pumps finish.

Options:
  --pty               serve on a new pseudo-terminal (the default)
  --link PATH         also make PATH a symbolic link to the pseudo-terminal, so that a host
                      finds the same name after a restart (replaced if present, removed at exit)
  --device DEVICE     serve on a serial device instead, e.g. /dev/ttyUSB1
  --tcp PORT          serve on TCP port PORT of the loopback address (127.0.0.1) instead, a
                      raw byte stream, one client at a time; 0 takes a free port
  --baud N            the line's baud rate (default 4800); behind --tcp, the converter's
                      serial line
  --turnaround MS     from a request's end to the reply's first byte (default: the
                      configuration's turnaround-ms, else 5)
  --no-pace           on a pseudo-terminal or a TCP port, answer at once instead of at the
                      line's speed
  --pause N:MS        send every reply in two bursts: its first N bytes, MS milliseconds of
                      silence, then the rest, as a USB adapter, a converter or a loaded
                      machine delivers replies
  --config FILE       the bus configuration (default: the built-in bus of fuelctl,
                      examples/bus/station.conf: dispensers 1, 3, 5 and 7)
  --fault KIND[@N]    the reply to request N (default: the next one) gets the fault; repeatable
  --trace-file FILE   write a line for every request and its reply (the fault, if one was
                      injected) to FILE, in the driver's trace format ('fuelctl trace FILE')
  --trace-max-kb N    the size of one trace file in KiB (16..1048576, default 1024), after
                      which it becomes FILE.1 and a new one begins
  --customers SEED    people at the pumps who lift a nozzle (now and then unasked), wait to
                      be served and hang up when the fill ends, as a forecourt meets them;
                      SEED makes a run repeatable. An authorised nozzle is then lifted only
                      by a customer
  --customer-every S  the mean time in seconds between unasked customers at a pump
                      (default 60)
  --customer-log FILE a line for every fill a customer finished: dispenser, nozzle, volume,
                      amount and the nozzle's totaliser
  --memory FILE       keep the controllers' memory (totalisers, prices, doses, cells, running
                      fills) and the customers in FILE, so that they outlive the program as
                      real controllers outlive a power cut: read back at the start (a fill
                      that was running has flowed on meanwhile, up to its dose), rewritten
                      atomically at every change. A missing FILE is a fresh start; a damaged
                      one is refused (delete it to start afresh)
  --quiet             print nothing but the device path or the address
  --version           the program's version
  --help              this text

Fault kinds: first-byte, only-ack, no-end, checksum, non-digit, silence, late, split, short.
Exit status: 0 after an interrupt, 1 when the line (or listening) failed, 2 on a usage error,
a bad configuration or a memory file that cannot be read back.
)";

std::atomic<bool> stopRequested{false};

std::atomic<bool> closingTime{false};

extern "C" void OnClosingTime(int) {
    closingTime = true;
}

extern "C" void OnSignal(int) {
    stopRequested = true;
}

struct UsageError {
    std::string message;
};

std::uint32_t Number(std::string_view text, std::string_view what, std::uint32_t low,
                     std::uint32_t high) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        throw UsageError{std::string(what) + " must be a number from " + std::to_string(low) +
                         " to " + std::to_string(high) + ", not '" + std::string(text) + "'"};
    }
    return value;
}

struct FaultAt {
    Fault fault;
    std::uint64_t request = 0;  // 0: the next reply
};

struct Settings {
    std::optional<std::string> link;
    std::optional<std::string> device;
    std::optional<std::uint16_t> tcpPort;
    std::uint32_t baudRate = 4800;
    std::optional<std::uint32_t> turnaroundMs;
    bool pace = true;
    std::uint32_t pauseAfter = 0;
    std::uint32_t pauseMs = 0;
    std::optional<std::string> config;
    std::vector<FaultAt> faults;
    bool quiet = false;
    std::optional<std::string> traceFile;
    std::optional<std::int64_t> traceMaxKb;
    std::optional<std::uint64_t> customers;
    std::uint32_t customerEvery = 60;
    std::optional<std::string> customerLog;
    std::optional<std::string> memory;
};

Settings Parse(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        const auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) {
                throw UsageError{std::string(word) + " needs a value"};
            }
            return argv[++i];
        };
        if (word == "--help" || word == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else if (word == "--version") {
            std::cout << "fuel-emulator " << fuel::kVersion << "\n";
            std::exit(0);
        } else if (word == "--pty") {
            settings.device.reset();
        } else if (word == "--link") {
            settings.link = std::string(value());
        } else if (word == "--device") {
            settings.device = std::string(value());
        } else if (word == "--tcp") {
            settings.tcpPort = static_cast<std::uint16_t>(Number(value(), "--tcp", 0, 65535));
        } else if (word == "--baud") {
            settings.baudRate = Number(value(), "--baud", 50, 115200);
        } else if (word == "--turnaround") {
            settings.turnaroundMs = Number(value(), "--turnaround", 0, 60000);
        } else if (word == "--no-pace") {
            settings.pace = false;
        } else if (word == "--pause") {
            const std::string_view text = value();
            const auto colon = text.find(':');
            if (colon == std::string_view::npos) {
                throw UsageError{"--pause wants N:MS, not '" + std::string(text) + "'"};
            }
            settings.pauseAfter = Number(text.substr(0, colon), "--pause's byte count", 1, 255);
            settings.pauseMs = Number(text.substr(colon + 1), "--pause's milliseconds", 0, 60000);
        } else if (word == "--config") {
            settings.config = std::string(value());
        } else if (word == "--fault") {
            const std::string_view text = value();
            const auto at = text.find('@');
            const auto fault = FaultFromName(text.substr(0, at));
            if (!fault) {
                throw UsageError{"no fault '" + std::string(text.substr(0, at)) + "'"};
            }
            FaultAt entry{*fault, 0};
            if (at != std::string_view::npos) {
                entry.request = Number(text.substr(at + 1), "the fault's request", 1, 1'000'000);
            }
            settings.faults.push_back(entry);
        } else if (word == "--trace-file") {
            settings.traceFile = std::string(value());
        } else if (word == "--trace-max-kb") {
            settings.traceMaxKb = Number(value(), "--trace-max-kb", 16, 1048576);
        } else if (word == "--customers") {
            settings.customers = Number(value(), "--customers", 0, 2147483647);
        } else if (word == "--customer-every") {
            settings.customerEvery = Number(value(), "--customer-every", 1, 86400);
        } else if (word == "--customer-log") {
            settings.customerLog = std::string(value());
        } else if (word == "--memory") {
            settings.memory = std::string(value());
        } else if (word == "--quiet") {
            settings.quiet = true;
        } else {
            throw UsageError{"unknown option '" + std::string(word) + "'"};
        }
    }
    if (settings.link && settings.device) {
        throw UsageError{"--link names a pseudo-terminal; a --device has its own name"};
    }
    if (settings.tcpPort && (settings.device || settings.link)) {
        throw UsageError{"--tcp serves on a TCP port, not on a device or a pseudo-terminal"};
    }
    return settings;
}

int Serve(const Settings& settings) {
    Config config = settings.config ? LoadConfig(*settings.config) : BuiltInConfig();
    if (settings.turnaroundMs) {
        config.turnaround = std::chrono::milliseconds(*settings.turnaroundMs);
    }
    // Customers lift the nozzles; a bus that lifted an authorised one by itself would not
    // wait for them.
    if (settings.customers)
        config.autoLift = false;
    RealClock clock(false);  // the bus follows the wall clock; nothing here waits on it
    Emulator bus(config, &clock);

    std::unique_ptr<Customers> customers;
    std::ofstream customerLog;
    if (settings.customers) {
        CustomerSettings people;
        people.seed = *settings.customers;
        people.arrivalMean = std::chrono::seconds(settings.customerEvery);
        customers = std::make_unique<Customers>(bus, people);
        if (settings.customerLog) {
            customerLog.open(*settings.customerLog, std::ios::app);
            if (!customerLog)
                throw std::runtime_error("cannot write " + *settings.customerLog);
            customers->onFillEnded = [&](std::uint8_t dispenser, std::uint8_t nozzle,
                                         const NozzleView& fill) {
                char line[128];
                std::snprintf(line, sizeof line, "%u %u %.6f %.6f %.6f\n", dispenser, nozzle,
                              fill.volume, fill.amount, fill.total);
                customerLog << line << std::flush;
            };
        }
    }
    // After the customers, whom it restores too, and before anything is served: a memory
    // that cannot be read back stops the program before a host sees the bus.
    std::unique_ptr<MemoryFile> memory;
    if (settings.memory) {
        memory = std::make_unique<MemoryFile>(*settings.memory, bus, customers.get());
        memory->onProblem = [](const std::string& message) {
            std::cerr << "fuel-emulator: " << message << std::endl;
        };
    }

    ServeOptions options;
    options.baudRate = settings.baudRate;
    options.pace = settings.pace && !settings.device;  // a UART paces by itself
    options.pauseAfter = settings.pauseAfter;
    options.pause = std::chrono::milliseconds(settings.pauseMs);

    std::unique_ptr<PseudoTerminal> terminal;
    int descriptor = -1;
    std::string path;
    if (settings.device) {
        descriptor = OpenSerialDevice(*settings.device, settings.baudRate);
        path = *settings.device;
    } else if (!settings.tcpPort) {
        terminal = std::make_unique<PseudoTerminal>();
        descriptor = terminal->Master();
        path = terminal->Path();
    }
    SerialServer server(bus, descriptor, options);  // a TCP client's socket, once one comes
    std::unique_ptr<TcpServer> tcp;
    if (settings.tcpPort) {
        tcp = std::make_unique<TcpServer>(server, *settings.tcpPort);
        path = tcp->Address();
        if (!settings.quiet) {
            tcp->onClient = [](const std::string& event) {
                std::cerr << "fuel-emulator: " << event << "\n";
            };
        }
    }
    if (settings.link) {
        std::error_code ignored;
        std::filesystem::remove(*settings.link, ignored);
        std::filesystem::create_symlink(path, *settings.link);
    }
    std::cout << path << std::endl;
    if (!settings.quiet) {
        std::cerr
            << "fuel-emulator: " << config.dispensers.size() << " dispensers on " << path
            << (settings.link ? " (" + *settings.link + ")" : std::string()) << ", "
            << settings.baudRate << " baud, turnaround "
            << std::chrono::duration_cast<std::chrono::milliseconds>(config.turnaround).count()
            << " ms" << (settings.device || !settings.pace ? "" : ", paced")
            << (settings.pauseAfter > 0
                    ? ", replies paused " + std::to_string(settings.pauseMs) + " ms after " +
                          std::to_string(settings.pauseAfter) + " bytes"
                    : std::string())
            << "\n";
    }

    for (const FaultAt& fault : settings.faults) {
        if (fault.request == 0) {
            bus.InjectFault(fault.fault);
        }
    }
    server.onRequest = [&](std::uint64_t number, std::span<const std::uint8_t>) {
        for (const FaultAt& fault : settings.faults) {
            if (fault.request == number) {
                bus.InjectFault(fault.fault);
            }
        }
    };
    // The customers act whenever the host asks the bus something: they see no more of the
    // pumps than that, and the host sees them at once.
    if (customers) {
        server.onRequest = [&, faults = std::move(server.onRequest)](
                               std::uint64_t number, std::span<const std::uint8_t> frame) {
            faults(number, frame);
            if (closingTime)
                customers->StopComing();
            customers->Step();
        };
    }
    // A memory whose last write failed is written again at the next request.
    if (memory) {
        server.onRequest = [&, before = std::move(server.onRequest)](
                               std::uint64_t number, std::span<const std::uint8_t> frame) {
            before(number, frame);
            memory->SaveIfDue();
        };
    }

    std::unique_ptr<fuel::TraceFile> trace;
    if (settings.traceFile) {
        trace = std::make_unique<fuel::TraceFile>(
            fuel::TraceFileSettings{*settings.traceFile,
                                    fuel::TraceCapFromKilobytes(settings.traceMaxKb)},
            "emulator", nullptr);
        server.onReply = [&](std::uint64_t number, std::span<const std::uint8_t> frame,
                             const Reply& reply, Duration took) {
            if (trace->NewFileDue()) {
                trace->BeginFile();
            }
            trace->Record(ServeEvent(trace->Now().wall, number, 0, bus.DispenserOf(frame), frame,
                                     reply.Bytes(), reply.fault, took));
        };
    }

    int status = 0;
    try {
        if (tcp) {
            tcp->Run(stopRequested);
        } else {
            server.Run(stopRequested);
        }
    } catch (const std::exception& error) {
        std::cerr << "fuel-emulator: " << path << ": " << error.what() << "\n";
        status = 1;
    }
    if (settings.link) {
        std::error_code ignored;
        std::filesystem::remove(*settings.link, ignored);
    }
    if (settings.device) {
        ::close(descriptor);
    }
    if (!settings.quiet) {
        std::cerr << "fuel-emulator: " << server.Requests() << " requests served\n";
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    struct sigaction closing {};
    closing.sa_handler = OnClosingTime;
    sigemptyset(&closing.sa_mask);
    ::sigaction(SIGUSR1, &closing, nullptr);
    // A TCP client that leaves while we answer is a failed write to report, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return Serve(Parse(argc, argv));
    } catch (const UsageError& error) {
        std::cerr << "fuel-emulator: " << error.message << "\nTry 'fuel-emulator --help'.\n";
        return 2;
    } catch (const ConfigError& error) {
        std::cerr << "fuel-emulator: " << error.what() << "\n";
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "fuel-emulator: " << error.what() << "\n";
        return 1;
    }
}
