#include "store/GbkText.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace {

// One iconv conversion descriptor per call keeps the helpers thread-safe.
class TIconv {
  public:
    TIconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
        }
    }
    ~TIconv() { iconv_close(cd_); }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;

    // Converts input; on an unconvertible sequence writes `replacement` and
    // skips `skip(in, left)` input bytes.
    template <class Skip>
    std::string Convert(std::string_view input, std::string_view replacement, Skip skip) {
        std::string out;
        out.reserve(input.size() * 2 + 8);
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        char buf[512];
        while (inLeft > 0) {
            char* outPtr = buf;
            size_t outLeft = sizeof buf;
            size_t rc = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
            out.append(buf, static_cast<size_t>(outPtr - buf));
            if (rc == static_cast<size_t>(-1)) {
                if (errno == E2BIG) continue;
                // EILSEQ or EINVAL (truncated sequence at the end)
                out.append(replacement);
                size_t n = skip(in, inLeft);
                in += n;
                inLeft -= n;
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return out;
    }

  private:
    iconv_t cd_;
};

size_t Utf8SequenceLength(const char* p, size_t left) {
    auto b = static_cast<unsigned char>(p[0]);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
    return n > left ? left : n;
}

bool IsGbkLeadByte(unsigned char b) {
    return b >= 0x81 && b <= 0xFE;
}

}  // namespace

std::string Utf8ToGbk(std::string_view utf8) {
    TIconv conv("GBK", "UTF-8");
    return conv.Convert(utf8, "?", Utf8SequenceLength);
}

std::string GbkToUtf8(std::string_view gbk) {
    TIconv conv("UTF-8", "GBK");
    return conv.Convert(gbk, "\xEF\xBF\xBD", [](const char*, size_t) { return size_t{1}; });
}

size_t GbkByteLength(std::string_view utf8) {
    return Utf8ToGbk(utf8).size();
}

std::string_view CutGbk(std::string_view gbk, size_t maxBytes) {
    size_t pos = 0;
    while (pos < gbk.size()) {
        size_t width = IsGbkLeadByte(static_cast<unsigned char>(gbk[pos])) ? 2 : 1;
        if (pos + width > maxBytes || pos + width > gbk.size()) break;
        pos += width;
    }
    return gbk.substr(0, pos);
}
