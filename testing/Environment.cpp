#include "testing/Environment.h"

#include <cstdlib>

namespace fuel::test {

#ifdef _WIN32
void SetEnvironment(const char* name, const char* value) {
    _putenv_s(name, value);
}
void UnsetEnvironment(const char* name) {
    _putenv_s(name, "");
}
#else
void SetEnvironment(const char* name, const char* value) {
    ::setenv(name, value, 1);
}
void UnsetEnvironment(const char* name) {
    ::unsetenv(name);
}
#endif

}  // namespace fuel::test
