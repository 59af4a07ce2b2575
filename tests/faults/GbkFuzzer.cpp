// Fuzz target: any bytes as GBK text stored in a station's files (device
// and position names, parameter texts). Decoding gives valid UTF-8, a cut
// never exceeds its limit or splits a character, and text that decodes
// without a replacement character survives the way back to GBK.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/GbkText.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

void Check(bool condition) {
    if (!condition) std::abort();
}

bool ValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        size_t n = b < 0x80           ? 1
                   : (b >> 5) == 0x6  ? 2
                   : (b >> 4) == 0xE  ? 3
                   : (b >> 3) == 0x1E ? 4
                                      : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string_view gbk(reinterpret_cast<const char*>(bytes), size);
    const std::string utf8 = GbkToUtf8(gbk);
    Check(ValidUtf8(utf8));
    if (utf8.find(kReplacement) == std::string::npos) {
        Check(GbkToUtf8(Utf8ToGbk(utf8)) == utf8);
    }
    // The limits the station's fields use: 20 and 124 bytes.
    for (size_t limit : {size_t{0}, size_t{1}, size_t{20}, size_t{124}, size}) {
        const std::string_view cut = CutGbk(gbk, limit);
        Check(cut.size() <= limit && cut.size() <= gbk.size());
        Check(gbk.substr(0, cut.size()) == cut);
        // Only a character that does not fit is dropped.
        Check(cut.size() + 2 > std::min(limit, gbk.size()));
    }
    // The other way: any bytes as UTF-8 become GBK of the length reported.
    Check(GbkByteLength(gbk) == Utf8ToGbk(gbk).size());
    return 0;
}
