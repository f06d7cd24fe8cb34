// The control connection's line reader, fed by an in-memory pipe whose reads come in pieces of
// any size: it returns every line whole, keeps what follows, and refuses only a line that does
// not end within its buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <deque>
#include <string>

#include "shared/pipe_lines.h"

namespace {

class MemoryPipe : public platform::Pipe {
  public:
    std::deque<std::string> reads;
    platform::Win32Error Read(void* buffer, std::size_t size, std::size_t* read) override {
        if (reads.empty()) return platform::Fail(platform::kErrorBrokenPipe);
        std::string& chunk = reads.front();
        const std::size_t n = std::min(size, chunk.size());
        chunk.copy(static_cast<char*>(buffer), n);
        chunk.erase(0, n);
        if (chunk.empty()) reads.pop_front();
        *read = n;
        return platform::kErrorSuccess;
    }
    platform::Win32Error Write(const void*, std::size_t) override { return 0; }
    void Cancel() override {}
    void SetTimeout(std::chrono::milliseconds) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const char* terminators[] = {"\r\n", "\r\n", "\n", "ab"};
    const std::string terminator = terminators[in.ConsumeIntegralInRange<int>(0, 3)];
    MemoryPipe pipe;
    std::size_t total = 0;
    // Enough for several buffers' worth, little enough to keep the runs quick.
    while (in.remaining_bytes() > 0 && pipe.reads.size() < 64 && total < 300000) {
        // A short piece repeated stands for a long write, so buffer-sized input is reached.
        const int repeat = in.ConsumeIntegralInRange<int>(1, 20000);
        std::string piece = in.ConsumeRandomLengthString(64);
        std::string chunk;
        for (int i = 0; i < repeat && chunk.size() < 140000; ++i) chunk += piece;
        total += chunk.size();
        if (!chunk.empty()) pipe.reads.push_back(std::move(chunk));
    }
    std::string carry, line;
    std::size_t consumed = 0;
    for (;;) {
        try {
            zantor::ReadLnPipe(pipe, terminator, carry, line);
        } catch (const zantor::LineTooLongError&) {
            return 0;
        }
        if (line == zantor::kEndOfConnection) break;
        if (line.find(terminator) != std::string::npos || carry.size() >= zantor::kLineBufferSize)
            std::abort();
        consumed += line.size() + terminator.size();
        if (consumed > total) std::abort();  // more came out than went in
    }
    return 0;
}
