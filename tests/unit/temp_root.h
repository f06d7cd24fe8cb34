// Computer roots for tests: a fresh temporary directory that is the local computer's root.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

namespace zantor::test {

// Sets an environment variable of this process, or removes it (`value` null). The C runtime of
// Windows names it differently.
inline void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

// A temporary directory that is the local computer's root (ZANTOR_ROOT) while it lives.
class TempRoot : public TempDir {
  public:
    TempRoot() {
        const char* old = std::getenv("ZANTOR_ROOT");
        had_ = old != nullptr;
        if (had_) old_ = old;
        SetEnvironment("ZANTOR_ROOT", path().string().c_str());
    }
    ~TempRoot() { SetEnvironment("ZANTOR_ROOT", had_ ? old_.c_str() : nullptr); }

  private:
    bool had_ = false;
    std::string old_;
};

}  // namespace zantor::test
