// The driver's failures. The host sees them by class name and message, so both are fixed:
// the class names are those of the host's runtime, the messages are the driver's own texts
// (UTF-8 here; the DLL converts them to Windows-1251 when they leave the library).
#pragma once

#include <exception>
#include <string>

namespace fuel {

class Exception : public std::exception {
  public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    virtual const char* ClassName() const noexcept { return "Exception"; }

  private:
    std::string message_;
};

// A failed exchange with a dispenser, raised with the operation's own message.
class ESerialIO : public Exception {
  public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "ESerialIO"; }
};

// An index or value outside the range of the table or field it is meant for.
class ERangeError : public Exception {
  public:
    ERangeError() : Exception("Range check error") {}
    const char* ClassName() const noexcept override { return "ERangeError"; }
};

// An operation that the driver declares but does not provide.
class EAbstractError : public Exception {
  public:
    EAbstractError() : Exception("Abstract Error") {}
    const char* ClassName() const noexcept override { return "EAbstractError"; }
};

}  // namespace fuel
