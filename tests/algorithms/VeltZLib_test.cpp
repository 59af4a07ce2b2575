#include <zlib.h>

#include <gtest/gtest.h>

#include "algorithms/Stream.h"
#include "algorithms/TestBytes.h"
#include "algorithms/VeltAlgoMgr.h"

namespace {

void Fill(TMemoryStream& stream, const Bytes& bytes) {
    stream.Clear();
    stream.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
}

Bytes Content(const TMemoryStream& stream) {
    return Bytes(stream.Memory(), stream.Memory() + stream.Length());
}

// zlib's own one-call compression at the default level: the format we must
// write byte for byte.
Bytes ReferenceCompress(const Bytes& data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes out(size);
    EXPECT_EQ(compress(out.data(), &size, data.data(), static_cast<uLong>(data.size())), Z_OK);
    out.resize(size);
    return out;
}

std::string RestoreError(TCompAlgo_Zlib& zlib, TMemoryStream& stream) {
    try {
        zlib.RestoreStream(&stream, &stream, -1);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

TEST(Zlib, EmptyStreamCompressesToAValidZlibStreamAndBack) {
    TCompAlgo_Zlib zlib(0);
    TMemoryStream stream;
    zlib.ProcessStream(&stream, &stream, 0);
    EXPECT_EQ(Content(stream), ReferenceCompress({}));
    EXPECT_EQ(stream.Length(), 8);  // header, one empty final block, Adler-32 of nothing
    zlib.RestoreStream(&stream, &stream, 0);
    EXPECT_EQ(stream.Length(), 0);
    EXPECT_EQ(zlib.GetMode(), 1);
}

TEST(Zlib, RoundTripWritesExactlyTheDefaultLevelZlibStream) {
    TCompAlgo_Zlib zlib(0);
    TByteSource random(9);
    for (size_t n : {1u, 255u, 256u, 1000u, 70000u}) {
        Bytes data = random.Next(n);
        for (size_t i = 0; i < n; i += 3) data[i] = 'a';  // partly compressible
        TMemoryStream stream;
        Fill(stream, data);
        stream.SetPosition(n / 2);  // the whole stream is processed, wherever the position
        zlib.ProcessStream(&stream, nullptr, -1);
        EXPECT_EQ(Content(stream), ReferenceCompress(data)) << n;
        zlib.RestoreStream(&stream, nullptr, -1);
        EXPECT_EQ(Content(stream), data) << n;
    }
}

// Incompressible input deflates to stored blocks, longer than the input.
TEST(Zlib, IncompressibleDataRoundTripsByteForByte) {
    TCompAlgo_Zlib zlib(0);
    TByteSource random(10);
    for (size_t n = 1; n <= 64; ++n) {
        const Bytes data = random.Next(n);
        TMemoryStream stream;
        Fill(stream, data);
        zlib.ProcessStream(&stream, &stream, 0);
        ASSERT_EQ(Content(stream), ReferenceCompress(data)) << n;
        ASSERT_GT(stream.Length(), static_cast<int64_t>(n));
        zlib.RestoreStream(&stream, &stream, 0);
        ASSERT_EQ(Content(stream), data) << n;
    }
}

TEST(Zlib, MegabyteOfZerosDecompressesCompletely) {
    TCompAlgo_Zlib zlib(0);
    const Bytes zeros(1 << 20, 0);
    TMemoryStream stream;
    Fill(stream, zeros);
    zlib.ProcessStream(&stream, &stream, 0);
    EXPECT_LT(stream.Length(), 2000);
    zlib.RestoreStream(&stream, &stream, 0);
    EXPECT_EQ(Content(stream), zeros);
}

TEST(Zlib, SeparateSourceIsCopiedAndLeftAlone) {
    TCompAlgo_Zlib zlib(0);
    const Bytes data = TByteSource(11).Next(500);
    TMemoryStream source;
    TMemoryStream dest;
    Fill(source, data);
    source.SetPosition(7);
    dest.Write("old content", 11);
    zlib.ProcessStream(&source, &dest, 0);
    EXPECT_EQ(Content(source), data);
    EXPECT_EQ(source.Position(), 7);
    EXPECT_EQ(Content(dest), ReferenceCompress(data));
    TMemoryStream restored;
    zlib.RestoreStream(&dest, &restored, 0);
    EXPECT_EQ(Content(restored), data);
}

TEST(Zlib, CorruptStreamRaisesDataErrorAndLeavesTheStreamEmpty) {
    TCompAlgo_Zlib zlib(0);
    TMemoryStream stream;
    Fill(stream, Bytes{'n', 'o', 't', ' ', 'z', 'l', 'i', 'b'});
    EXPECT_EQ(RestoreError(zlib, stream), "Decompression error: data error");
    EXPECT_EQ(stream.Length(), 0);

    Bytes damaged = ReferenceCompress(Bytes(1000, 'x'));
    damaged[2] = 0xFF;  // first deflate block header: reserved block type
    Fill(stream, damaged);
    EXPECT_EQ(RestoreError(zlib, stream), "Decompression error: data error");
    EXPECT_EQ(stream.Length(), 0);

    Bytes badChecksum = ReferenceCompress(Bytes(1000, 'x'));
    badChecksum.back() ^= 1;
    Fill(stream, badChecksum);
    EXPECT_EQ(RestoreError(zlib, stream), "Decompression error: data error");
    EXPECT_EQ(stream.Length(), 0);
}

TEST(Zlib, TruncatedOrEmptyStreamRaisesBufferError) {
    TCompAlgo_Zlib zlib(0);
    TMemoryStream stream;
    const Bytes whole = ReferenceCompress(TByteSource(12).Next(3000));
    Fill(stream, Bytes(whole.begin(), whole.end() - 10));
    EXPECT_EQ(RestoreError(zlib, stream), "Decompression error: buffer error");
    EXPECT_EQ(stream.Length(), 0);
    stream.Clear();
    EXPECT_EQ(RestoreError(zlib, stream), "Decompression error: buffer error");
    EXPECT_EQ(stream.Length(), 0);
}

TEST(Zlib, StreamNeedingAPresetDictionaryFailsInsteadOfLooping) {
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, Z_DEFAULT_COMPRESSION), Z_OK);
    const Bytes dictionary(32, 'd');
    ASSERT_EQ(deflateSetDictionary(&z, dictionary.data(), 32), Z_OK);
    Bytes input(100, 'd');
    Bytes output(256);
    z.next_in = input.data();
    z.avail_in = 100;
    z.next_out = output.data();
    z.avail_out = 256;
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    output.resize(z.total_out);
    deflateEnd(&z);

    TCompAlgo_Zlib zlib(0);
    TMemoryStream stream;
    Fill(stream, output);
    EXPECT_EQ(RestoreError(zlib, stream), "Decompression error: need dictionary");
    EXPECT_EQ(stream.Length(), 0);
}

}  // namespace
