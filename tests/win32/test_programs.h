// The build's programs that the Windows tests start. Their paths are compiled in (under Wine the
// Linux build tree is on drive Z:); on a Windows computer, where the programs were copied into
// one folder, ZANTOR_TEST_PROGRAMS names that folder instead (tests/win32/run-on-windows.cmd).
#pragma once

#include <cstdlib>
#include <string>

namespace zantor::test {

inline std::string TestProgram(const std::string& built) {
    const char* folder = std::getenv("ZANTOR_TEST_PROGRAMS");
    if (!folder || !*folder) return built;
    const std::size_t slash = built.find_last_of("/\\");
    return std::string(folder) + "\\" + built.substr(slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace zantor::test
