// Zlib compression of a whole stream in place.
//
// The compressed form is exactly one zlib stream (RFC 1950):
//
//   2 bytes     header (CMF, FLG)
//   n bytes     deflate data, default level, window 15 bits, memory level 8
//   4 bytes     Adler-32 of the uncompressed data, big-endian
//
// Nothing else is written: no length prefix and no uncompressed size; the
// size is found by inflating to the end of the zlib stream.

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "algorithms/Stream.h"
#include "algorithms/VeltAlgoMgr.h"

namespace {

constexpr size_t kBufferGranule = 256;  // output buffers are multiples of this
constexpr size_t kCompressGrowth = 256;
constexpr size_t kMaxZlibChunk = std::numeric_limits<uInt>::max();  // avail_in/out are 32 bits
constexpr int32_t kStreamChunk = 1 << 30;                           // TStream I/O takes int32

size_t RoundUp(size_t n) {
    return (n + kBufferGranule - 1) / kBufferGranule * kBufferGranule;
}

std::unique_ptr<TDataProcessAlgo> CreateZlib(int32_t param) {
    return std::make_unique<TCompAlgo_Zlib>(param);
}

[[noreturn]] void Fail(const char* prefix, int result) {
    throw std::runtime_error(std::string(prefix) + zError(result));
}

// The whole content of `stream`, read from its start.
std::vector<uint8_t> ReadAll(TStream& stream) {
    stream.SetPosition(0);
    const int64_t size = stream.Size();
    std::vector<uint8_t> content(static_cast<size_t>(std::max<int64_t>(size, 0)));
    size_t done = 0;
    while (done < content.size()) {
        const int32_t want =
            static_cast<int32_t>(std::min<size_t>(content.size() - done, kStreamChunk));
        const int32_t got = stream.Read(content.data() + done, want);
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    content.resize(done);
    return content;
}

void PutContent(TStream& stream, const std::vector<uint8_t>& content) {
    for (size_t done = 0; done < content.size();) {
        const int32_t piece =
            static_cast<int32_t>(std::min<size_t>(content.size() - done, kStreamChunk));
        const int32_t written = stream.Write(content.data() + done, piece);
        if (written <= 0) throw std::runtime_error("Stream write error");
        done += static_cast<size_t>(written);
    }
}

// The stream the result goes to. With a separate source, the source's whole
// content is what gets processed and the source itself is left alone.
TStream& Target(TStream* source, TStream* dest) {
    if (dest != nullptr) return *dest;
    if (source != nullptr) return *source;
    throw std::invalid_argument("Stream is nil");
}

// Takes the input out of `source` (the target itself when null) and leaves
// the target empty at position 0: after a failure it stays empty. A separate
// source keeps its content and position.
std::vector<uint8_t> TakeInput(TStream* source, TStream& target) {
    std::vector<uint8_t> content;
    if (source == nullptr || source == &target) {
        content = ReadAll(target);
    } else {
        const int64_t position = source->Position();
        content = ReadAll(*source);
        source->SetPosition(position);
    }
    target.SetSize(0);
    target.SetPosition(0);
    return content;
}

// Owns a z_stream for deflate or inflate and ends it on every path.
class TZStream {
  public:
    explicit TZStream(bool deflating) : deflating_(deflating) {}
    ~TZStream() {
        if (!started_) return;
        if (deflating_)
            deflateEnd(&stream_);
        else
            inflateEnd(&stream_);
    }
    TZStream(const TZStream&) = delete;
    TZStream& operator=(const TZStream&) = delete;

    int Start() {
        const int result =
            deflating_ ? deflateInit(&stream_, Z_DEFAULT_COMPRESSION) : inflateInit(&stream_);
        started_ = result == Z_OK;
        return result;
    }
    z_stream& operator*() { return stream_; }

  private:
    z_stream stream_{};
    bool deflating_;
    bool started_ = false;
};

// Hands zlib the next piece of input once it has consumed the previous one.
void FeedInput(z_stream& z, const std::vector<uint8_t>& input, size_t& fed) {
    if (z.avail_in > 0 || fed >= input.size()) return;
    const size_t piece = std::min(input.size() - fed, kMaxZlibChunk);
    z.next_in = const_cast<Bytef*>(input.data() + fed);
    z.avail_in = static_cast<uInt>(piece);
    fed += piece;
}

size_t Produced(const z_stream& z, const std::vector<uint8_t>& output) {
    return static_cast<size_t>(z.next_out - output.data());
}

// Enlarges the output buffer by `growth` bytes when zlib has filled it.
void MakeRoom(z_stream& z, std::vector<uint8_t>& output, size_t growth) {
    if (z.avail_out > 0) return;
    const size_t produced = Produced(z, output);
    output.resize(output.size() + growth);
    z.next_out = output.data() + produced;
    z.avail_out = static_cast<uInt>(std::min(output.size() - produced, kMaxZlibChunk));
}

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& input) {
    constexpr const char* kPrefix = "Compression error: ";
    const size_t n = input.size();
    std::vector<uint8_t> output(RoundUp(n + n / 10 + 12));
    TZStream zstream(true);
    if (const int result = zstream.Start(); result < 0) Fail(kPrefix, result);
    z_stream& z = *zstream;
    size_t fed = 0;
    z.next_out = output.data();
    z.avail_out = static_cast<uInt>(std::min(output.size(), kMaxZlibChunk));
    for (;;) {
        FeedInput(z, input, fed);
        MakeRoom(z, output, kCompressGrowth);
        const int flush = fed == n ? Z_FINISH : Z_NO_FLUSH;
        const int result = deflate(&z, flush);
        if (result < 0) Fail(kPrefix, result);
        if (result == Z_STREAM_END) break;
    }
    output.resize(Produced(z, output));
    return output;
}

std::vector<uint8_t> Inflate(const std::vector<uint8_t>& input) {
    constexpr const char* kPrefix = "Decompression error: ";
    // The buffer starts at the input size rounded up and grows by that much.
    const size_t growth = std::max(RoundUp(input.size()), kBufferGranule);
    std::vector<uint8_t> output(RoundUp(input.size()));
    TZStream zstream(false);
    if (const int result = zstream.Start(); result < 0) Fail(kPrefix, result);
    z_stream& z = *zstream;
    size_t fed = 0;
    z.next_out = output.data();
    z.avail_out = static_cast<uInt>(std::min(output.size(), kMaxZlibChunk));
    for (;;) {
        FeedInput(z, input, fed);
        MakeRoom(z, output, growth);
        const int result = inflate(&z, Z_NO_FLUSH);
        if (result < 0) Fail(kPrefix, result);
        if (result == Z_STREAM_END) break;
        // A preset dictionary is never written; waiting for one would loop.
        if (result == Z_NEED_DICT) Fail(kPrefix, Z_NEED_DICT);
    }
    output.resize(Produced(z, output));
    return output;
}

}  // namespace

const TAlgorithmClass TCompAlgo_Zlib::Class = {"TCompAlgo_Zlib", &CreateZlib};

void TCompAlgo_Zlib::ProcessStream(TStream* source, TStream* dest, int32_t size) {
    (void)size;
    TStream& target = Target(source, dest);
    const std::vector<uint8_t> input = TakeInput(source, target);
    PutContent(target, Deflate(input));
}

void TCompAlgo_Zlib::RestoreStream(TStream* source, TStream* dest, int32_t size) {
    (void)size;
    TStream& target = Target(source, dest);
    const std::vector<uint8_t> input = TakeInput(source, target);
    PutContent(target, Inflate(input));
}
