// SerialPort on Windows: a COM device opened for synchronous I/O, its waits bounded by the
// port's own time-outs, which are set before every read and write from the caller's deadline.
#include <windows.h>

#include <algorithm>
#include <array>

#include "link/SerialPort.h"

namespace fuel {
namespace {

using Clock = Port::Clock;

HANDLE Handle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

SerialPort::SerialPort(const std::string& device) : device_(device) {
    // COM10 and above exist only in the device namespace; the short names are there too.
    const std::string path = device.rfind("\\\\", 0) == 0 ? device : "\\\\.\\" + device;
    const HANDLE port = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        Fail("cannot open");
    }
    handle_ = reinterpret_cast<std::intptr_t>(port);
}

SerialPort::~SerialPort() {
    if (Handle(handle_) != INVALID_HANDLE_VALUE) {
        ::CloseHandle(Handle(handle_));
    }
}

void SerialPort::Fail(std::string_view what) const {
    const DWORD error = ::GetLastError();
    std::string message = device_ + ": " + std::string(what);
    if (error != 0) {
        message += ": Windows error " + std::to_string(error);
    }
    throw PortError(message);
}

void SerialPort::Apply(const LineSettings& line) {
    const HANDLE port = Handle(handle_);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port, &dcb)) {
        Fail("cannot read the line settings");
    }
    dcb.BaudRate = line.baudRate;
    dcb.ByteSize = line.dataBits;
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity != Parity::None ? TRUE : FALSE;
    dcb.Parity = line.parity == Parity::Even  ? EVENPARITY
                 : line.parity == Parity::Odd ? ODDPARITY
                                              : NOPARITY;
    dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    // No handshake of any kind: RS-485 adapters switch direction by themselves.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    // A byte with a parity error arrives as 0, which no reply check accepts.
    dcb.fErrorChar = line.parity != Parity::None ? TRUE : FALSE;
    dcb.ErrorChar = 0;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(port, &dcb)) {
        Fail("cannot apply the line settings (baud rate " + std::to_string(line.baudRate) + ")");
    }
}

void SerialPort::DiscardInput() {
    if (!::PurgeComm(Handle(handle_), PURGE_RXABORT | PURGE_RXCLEAR)) {
        Fail("cannot discard input");
    }
}

void SerialPort::Write(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
    const HANDLE port = Handle(handle_);
    std::size_t written = 0;
    while (written < bytes.size()) {
        COMMTIMEOUTS timeouts{};
        timeouts.WriteTotalTimeoutConstant =
            std::max(static_cast<DWORD>(MillisecondsUntil(deadline)), DWORD{1});
        if (!::SetCommTimeouts(port, &timeouts)) {
            Fail("cannot set time-outs");
        }
        DWORD done = 0;
        const DWORD asked = static_cast<DWORD>(bytes.size() - written);
        if (!::WriteFile(port, bytes.data() + written, asked, &done, nullptr)) {
            Fail("write failed");
        }
        written += done;
        if (done == 0 && Clock::now() >= deadline) {
            ::SetLastError(0);
            Fail("write timed out");
        }
    }
}

std::size_t SerialPort::Read(std::span<std::uint8_t> into, Clock::time_point deadline) {
    const HANDLE port = Handle(handle_);
    if (into.empty()) {
        return 0;
    }
    for (;;) {
        const auto wait = static_cast<DWORD>(MillisecondsUntil(deadline));
        // MAXDWORD, MAXDWORD, n: return at once with what is there, else with the first
        // byte that comes within n ms. With nothing left to wait, only take what is there.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = wait > 0 ? MAXDWORD : 0;
        timeouts.ReadTotalTimeoutConstant = wait;
        if (!::SetCommTimeouts(port, &timeouts)) {
            Fail("cannot set time-outs");
        }
        DWORD got = 0;
        if (!::ReadFile(port, into.data(), static_cast<DWORD>(into.size()), &got, nullptr)) {
            Fail("read failed");
        }
        if (got > 0) {
            return got;
        }
        if (wait == 0 || Clock::now() >= deadline) {
            return 0;
        }
    }
}

}  // namespace fuel
