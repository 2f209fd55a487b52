// Setting and clearing environment variables in tests, on POSIX and Windows alike.
#pragma once

namespace fuel::test {

void SetEnvironment(const char* name, const char* value);
void UnsetEnvironment(const char* name);

}  // namespace fuel::test
