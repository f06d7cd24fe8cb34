// Fresh temporary directories and computer roots for tests: nothing a test does touches the
// machine's own state.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace zantor::test {

// A file's bytes; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("zantor-test-" + std::to_string(rd()));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// A temporary directory that is the local computer's root (ZANTOR_ROOT) while it lives.
class TempRoot : public TempDir {
  public:
    TempRoot() {
        const char* old = std::getenv("ZANTOR_ROOT");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("ZANTOR_ROOT", path().c_str(), 1);
    }
    ~TempRoot() {
        if (had_)
            setenv("ZANTOR_ROOT", old_.c_str(), 1);
        else
            unsetenv("ZANTOR_ROOT");
    }

  private:
    bool had_ = false;
    std::string old_;
};

}  // namespace zantor::test
