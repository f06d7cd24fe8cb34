// The .reg parser: no text makes it crash, and whatever parses prints as canonical text that
// parses again and prints the same.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    zantor::RegFile file;
    zantor::RegFileError error;
    if (zantor::ParseRegFile(text, &file, &error) != platform::kErrorSuccess) return 0;
    const std::string printed = zantor::PrintRegFile(file);
    zantor::RegFile again;
    if (zantor::ParseRegFile(printed, &again, &error) != platform::kErrorSuccess) {
        std::fprintf(stderr, "printed text does not parse, line %d: %s\n", error.line,
                     error.reason.c_str());
        std::abort();
    }
    if (zantor::PrintRegFile(again) != printed) std::abort();
    return 0;
}
