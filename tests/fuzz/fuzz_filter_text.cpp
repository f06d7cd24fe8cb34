// The filter text form: whatever parses prints as text that parses back to the same filter, and
// prints the same again.
#include <cstdlib>
#include <string>

#include "shared/filter_model.h"
#include "shared/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    zantor::FilterRecord filter;
    try {
        filter = zantor::ParseFilterWords(text, 1);
    } catch (const zantor::ConvertError&) {
        return 0;
    }
    const std::string printed = zantor::FilterToStr(filter);
    const zantor::FilterRecord again = zantor::ParseFilterWords(printed, 1);
    if (!(again == filter) || !zantor::SameFilter(again, filter) ||
        zantor::FilterToStr(again) != printed)
        std::abort();
    platform::PF_FILTER_DESCRIPTOR descriptor = filter.Descriptor();
    (void)descriptor;
    return 0;
}
