#include "platform/avfaudio/AVAudioFile.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

namespace fs = std::filesystem;

namespace {

AVAudioFormat format(double rate, uint32_t channels) { return *AVAudioFormat::standardFormat(rate, channels); }

// Integer sample k of frame i, channel c: spread over the full range, both extremes included.
int16_t sample16(int frame, int channel) {
    if (frame == 0) return channel == 0 ? -32768 : 32767;
    return static_cast<int16_t>((frame * 7919 + channel * 104729) % 65536 - 32768);
}
int32_t sample24(int frame, int channel) {
    if (frame == 0) return channel == 0 ? -8388608 : 8388607;
    return static_cast<int32_t>((int64_t{frame} * 1299709 + int64_t{channel} * 15485863) % 16777216 - 8388608);
}
float sampleFloat(int frame, int channel) {
    // Values a format could lose: above full scale, tiny, negative zero, non-dyadic fractions.
    static const float kSpecial[] = {0.1f, -1.75f, 3.5f, 1e-30f, -0.0f, 0.333333343f, 1.0f, -1.0f};
    return kSpecial[(frame + 3 * channel) % 8] * static_cast<float>(1 + frame % 5);
}

class AudioFileTest : public testing::Test {
protected:
    std::string path(const std::string& name) const { return (dir / name).string(); }

    // Writes interleaved samples with libsndfile itself, independent of the code under test.
    template <class Sample>
    std::string writeWithLibsndfile(const std::string& name, int major, int subtype, int rate, int channels,
                                    int frames, Sample (*value)(int, int)) {
        std::vector<Sample> data(static_cast<std::size_t>(frames) * channels);
        for (int i = 0; i < frames; ++i) {
            for (int c = 0; c < channels; ++c) data[i * channels + c] = value(i, c);
        }
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = major | subtype;
        const std::string file = path(name);
        SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
        EXPECT_NE(sf, nullptr) << sf_strerror(nullptr);
        if constexpr (std::is_same_v<Sample, int16_t>) {
            sf_writef_short(sf, data.data(), frames);
        } else if constexpr (std::is_same_v<Sample, int32_t>) {
            // libsndfile's int samples are left-justified 32-bit: a 24-bit k is k << 8.
            for (auto& s : data) s = static_cast<int32_t>(static_cast<uint32_t>(s) << 8);
            sf_writef_int(sf, data.data(), frames);
        } else {
            sf_writef_float(sf, data.data(), frames);
        }
        sf_close(sf);
        return file;
    }

    tolvane::test::TempFolder folder;
    const fs::path dir = folder.path();
};

std::shared_ptr<AVAudioPCMBuffer> readWhole(AVAudioFile& file) {
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(file.processingFormat(), static_cast<uint32_t>(file.length()));
    if (!buffer) return nullptr;
    Error error;
    EXPECT_TRUE(file.readIntoBuffer(*buffer, &error)) << error.description();
    return buffer;
}

template <class Reference>
void expectSamples(const AVAudioPCMBuffer& buffer, int frames, Reference expected) {
    ASSERT_EQ(buffer.frameLength(), static_cast<uint32_t>(frames));
    for (uint32_t c = 0; c < buffer.format().channelCount(); ++c) {
        for (int i = 0; i < frames; ++i) {
            const float want = expected(i, static_cast<int>(c));
            const float got = buffer.floatChannelData()[c][i];
            ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0)
                << "channel " << c << " frame " << i << ": " << got << " vs " << want;
        }
    }
}

TEST_F(AudioFileTest, ReadsIntegerAndFloatEncodingsExactlyAtTheFilesOwnRate) {
    struct Case {
        const char* name;
        int major;
        int subtype;
        int rate;
        int channels;
    };
    const Case cases[] = {
        {"pcm16-mono.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, 44100, 1},
        {"pcm16-stereo.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, 48000, 2},
        {"pcm24-mono.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_24, 96000, 1},
        {"pcm24-stereo.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_24, 22050, 2},
        {"float-mono.wav", SF_FORMAT_WAV, SF_FORMAT_FLOAT, 32000, 1},
        {"float-stereo.wav", SF_FORMAT_WAV, SF_FORMAT_FLOAT, 48000, 2},
        {"pcm16-mono.aiff", SF_FORMAT_AIFF, SF_FORMAT_PCM_16, 44100, 1},
        {"pcm16-stereo.aiff", SF_FORMAT_AIFF, SF_FORMAT_PCM_16, 11025, 2},
        {"pcm24-stereo.aiff", SF_FORMAT_AIFF, SF_FORMAT_PCM_24, 48000, 2},
    };
    constexpr int kFrames = 5003;  // spans several internal chunks, ends on a partial one
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file;
        if (c.subtype == SF_FORMAT_PCM_16) {
            file = writeWithLibsndfile<int16_t>(c.name, c.major, c.subtype, c.rate, c.channels, kFrames, sample16);
        } else if (c.subtype == SF_FORMAT_PCM_24) {
            file = writeWithLibsndfile<int32_t>(c.name, c.major, c.subtype, c.rate, c.channels, kFrames, sample24);
        } else {
            file = writeWithLibsndfile<float>(c.name, c.major, c.subtype, c.rate, c.channels, kFrames, sampleFloat);
        }
        Error error;
        auto audio = AVAudioFile::initForReading(file, &error);
        ASSERT_TRUE(audio) << error.description();
        EXPECT_EQ(audio->processingFormat(), format(c.rate, c.channels));
        EXPECT_EQ(audio->length(), kFrames);
        auto buffer = readWhole(*audio);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(audio->framePosition(), kFrames);
        if (c.subtype == SF_FORMAT_PCM_16) {
            expectSamples(*buffer, kFrames, [](int i, int ch) { return sample16(i, ch) / 32768.0f; });
        } else if (c.subtype == SF_FORMAT_PCM_24) {
            expectSamples(*buffer, kFrames, [](int i, int ch) { return sample24(i, ch) / 8388608.0f; });
        } else {
            expectSamples(*buffer, kFrames, sampleFloat);
        }
    }
}

TEST_F(AudioFileTest, SuccessiveReadsContinueWhereTheLastEnded) {
    const std::string file =
        writeWithLibsndfile<int16_t>("pieces.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, 48000, 2, 1000, sample16);
    auto audio = AVAudioFile::initForReading(file, nullptr);
    ASSERT_TRUE(audio);
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(audio->processingFormat(), 400);
    ASSERT_TRUE(buffer);
    const uint32_t expectedLengths[] = {400, 400, 200, 0};
    int start = 0;
    for (uint32_t expected : expectedLengths) {
        Error error;
        ASSERT_TRUE(audio->readIntoBuffer(*buffer, &error)) << error.description();
        ASSERT_EQ(buffer->frameLength(), expected);
        for (uint32_t i = 0; i < expected; ++i) {
            ASSERT_EQ(buffer->floatChannelData()[1][i], sample16(start + static_cast<int>(i), 1) / 32768.0f);
        }
        start += static_cast<int>(expected);
    }
    EXPECT_EQ(audio->framePosition(), 1000);
}

TEST_F(AudioFileTest, WrittenFloatFileReadsBackBitExactly) {
    constexpr int kChannels = 3;
    const std::string file = path("written.wav");
    const auto fmt = format(44100, kChannels);
    auto first = AVAudioPCMBuffer::initWithPCMFormat(fmt, 6000);
    auto second = AVAudioPCMBuffer::initWithPCMFormat(fmt, 64);
    ASSERT_TRUE(first && second);
    for (int c = 0; c < kChannels; ++c) {
        for (int i = 0; i < 6000; ++i) first->floatChannelData()[c][i] = sampleFloat(i, c);
        for (int i = 0; i < 64; ++i) second->floatChannelData()[c][i] = sampleFloat(6000 + i, c);
    }
    first->setFrameLength(6000);
    second->setFrameLength(10);  // only the valid frames are written
    {
        Error error;
        auto out = AVAudioFile::initForWriting(file, fmt, &error);
        ASSERT_TRUE(out) << error.description();
        ASSERT_TRUE(out->writeFromBuffer(*first, &error)) << error.description();
        ASSERT_TRUE(out->writeFromBuffer(*second, &error)) << error.description();
        EXPECT_EQ(out->length(), 6010);
        EXPECT_FALSE(out->readIntoBuffer(*first, &error));
        EXPECT_EQ(error.code, AVAudioFile::kErrorReadFailed);
    }
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    sf_close(sf);

    auto in = AVAudioFile::initForReading(file, nullptr);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->processingFormat(), fmt);
    EXPECT_EQ(in->length(), 6010);
    auto back = readWhole(*in);
    ASSERT_TRUE(back);
    expectSamples(*back, 6010, sampleFloat);
}

void expectError(const Error& error, int64_t code) {
    EXPECT_EQ(error.domain, "AVAudioFile");
    EXPECT_EQ(error.code, code) << error.description();
    EXPECT_FALSE(error.localizedDescription.empty());
}

TEST_F(AudioFileTest, MissingDirectoryAndNonAudioFilesGiveTheirErrors) {
    Error error;
    EXPECT_FALSE(AVAudioFile::initForReading(path("nothing.wav"), &error));
    expectError(error, AVAudioFile::kErrorFileNotFound);

    fs::create_directory(dir / "folder.wav");
    EXPECT_FALSE(AVAudioFile::initForReading(path("folder.wav"), &error));
    expectError(error, AVAudioFile::kErrorUnreadable);

    std::ofstream(path("notes.wav")) << "These are words, not samples.\nSecond line.\n";
    EXPECT_FALSE(AVAudioFile::initForReading(path("notes.wav"), &error));
    expectError(error, AVAudioFile::kErrorUnreadable);

    std::ofstream(path("empty.aiff")).close();
    EXPECT_FALSE(AVAudioFile::initForReading(path("empty.aiff"), &error));
    expectError(error, AVAudioFile::kErrorUnreadable);

    EXPECT_FALSE(AVAudioFile::initForWriting(path("no/such/folder/out.wav"), format(48000, 1), &error));
    expectError(error, AVAudioFile::kErrorWriteFailed);

    EXPECT_FALSE(AVAudioFile::initForReading(path("nothing.wav"), nullptr));  // no out-pointer is fine
}

TEST_F(AudioFileTest, BufferWithTheWrongChannelCountIsRefused) {
    const std::string file =
        writeWithLibsndfile<int16_t>("stereo.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, 48000, 2, 100, sample16);
    auto audio = AVAudioFile::initForReading(file, nullptr);
    ASSERT_TRUE(audio);
    auto mono = AVAudioPCMBuffer::initWithPCMFormat(format(48000, 1), 100);
    mono->setFrameLength(7);
    Error error;
    EXPECT_FALSE(audio->readIntoBuffer(*mono, &error));
    expectError(error, AVAudioFile::kErrorReadFailed);
    EXPECT_EQ(mono->frameLength(), 0u);
    EXPECT_EQ(audio->framePosition(), 0);

    auto out = AVAudioFile::initForWriting(path("out.wav"), format(48000, 2), nullptr);
    ASSERT_TRUE(out);
    EXPECT_FALSE(out->writeFromBuffer(*mono, &error));
    expectError(error, AVAudioFile::kErrorWriteFailed);
}

std::vector<char> fileBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void putBytes(const std::string& file, const std::vector<char>& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Byte offset of a RIFF chunk's identifier.
std::size_t chunkOffset(const std::vector<char>& bytes, const char* id) {
    for (std::size_t i = 12; i + 8 <= bytes.size(); ++i) {
        if (std::memcmp(&bytes[i], id, 4) == 0) return i;
    }
    return bytes.size();
}

TEST_F(AudioFileTest, TruncatedWaveDeliversOnlyTheFramesReallyThere) {
    constexpr int kFrames = 1000;
    const std::string file =
        writeWithLibsndfile<int16_t>("cut.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, 48000, 2, kFrames, sample16);
    std::vector<char> bytes = fileBytes(file);
    const std::size_t dataStart = chunkOffset(bytes, "data") + 8;
    ASSERT_EQ(bytes.size(), dataStart + kFrames * 4);
    // Cut mid-frame: 1001 bytes off leave 749 whole stereo frames and a stray half frame.
    bytes.resize(bytes.size() - 1001);
    putBytes(file, bytes);
    const int64_t wholeFrames = static_cast<int64_t>(bytes.size() - dataStart) / 4;
    ASSERT_EQ(wholeFrames, 749);

    Error error;
    auto audio = AVAudioFile::initForReading(file, &error);
    ASSERT_TRUE(audio) << error.description();
    EXPECT_EQ(audio->length(), wholeFrames);
    auto buffer = readWhole(*audio);
    ASSERT_TRUE(buffer);
    expectSamples(*buffer, static_cast<int>(wholeFrames), [](int i, int c) { return sample16(i, c) / 32768.0f; });
}

TEST_F(AudioFileTest, HeaderPromisingMoreDataThanThereIsIsNotBelieved) {
    const std::string file =
        writeWithLibsndfile<int16_t>("liar.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, 48000, 1, 300, sample16);
    std::vector<char> bytes = fileBytes(file);
    const std::size_t data = chunkOffset(bytes, "data");
    const uint32_t claimed = 0x7fff0000u;  // far beyond the 600 bytes present
    std::memcpy(&bytes[data + 4], &claimed, 4);
    putBytes(file, bytes);
    auto audio = AVAudioFile::initForReading(file, nullptr);
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->length(), 300);
    auto buffer = readWhole(*audio);
    ASSERT_TRUE(buffer);
    expectSamples(*buffer, 300, [](int i, int c) { return sample16(i, c) / 32768.0f; });
}

TEST_F(AudioFileTest, CorruptOrCutHeadersAreUnreadable) {
    const std::string file =
        writeWithLibsndfile<int16_t>("good.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, 48000, 2, 100, sample16);
    const std::vector<char> good = fileBytes(file);
    const std::size_t fmt = chunkOffset(good, "fmt ");
    ASSERT_LT(fmt, good.size());

    struct Damage {
        const char* what;
        std::vector<char> bytes;
    };
    std::vector<Damage> damaged;
    damaged.push_back({"magic", good});
    std::memcpy(damaged.back().bytes.data(), "RIFX", 4);
    damaged.push_back({"zero channels", good});
    damaged.back().bytes[fmt + 10] = 0;  // after id and size: format tag (2 bytes), then channels
    damaged.back().bytes[fmt + 11] = 0;
    damaged.push_back({"cut inside the header", std::vector<char>(good.begin(), good.begin() + 20)});
    for (const Damage& d : damaged) {
        SCOPED_TRACE(d.what);
        putBytes(path("bad.wav"), d.bytes);
        Error error;
        EXPECT_FALSE(AVAudioFile::initForReading(path("bad.wav"), &error));
        expectError(error, AVAudioFile::kErrorUnreadable);
    }
}

TEST_F(AudioFileTest, FileShrinkingWhileOpenFailsTheReadInsteadOfPretending) {
    const std::string file =
        writeWithLibsndfile<float>("shrinks.wav", SF_FORMAT_WAV, SF_FORMAT_FLOAT, 48000, 1, 20000, sampleFloat);
    auto audio = AVAudioFile::initForReading(file, nullptr);
    ASSERT_TRUE(audio);
    ASSERT_EQ(audio->length(), 20000);
    fs::resize_file(file, fs::file_size(file) - 4 * 15000);
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(audio->processingFormat(), 20000);
    Error error;
    EXPECT_FALSE(audio->readIntoBuffer(*buffer, &error));
    expectError(error, AVAudioFile::kErrorReadFailed);
    EXPECT_LT(buffer->frameLength(), 20000u);
}

TEST(AVAudioPCMBufferTest, CapacityThatCannotBeHeldGivesNothing) {
    EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(format(48000, 2), 0));
    // 2^16 channels x 2^32 - 1 frames: about a petabyte of floats.
    EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(format(48000, 65536), std::numeric_limits<uint32_t>::max()));
    EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(format(48000, std::numeric_limits<uint32_t>::max()),
                                          std::numeric_limits<uint32_t>::max()));
}

TEST(AVAudioPCMBufferTest, ChannelsAreSeparateZeroedBlocksAndLengthIsClamped) {
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(format(44100, 3), 128);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->frameCapacity(), 128u);
    EXPECT_EQ(buffer->frameLength(), 0u);
    float* const* channels = buffer->floatChannelData();
    ASSERT_NE(channels, nullptr);
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < 128; ++i) {
            EXPECT_EQ(channels[c][i], 0.0f);
            channels[c][i] = static_cast<float>(c * 1000 + i);
        }
    }
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(channels[c][0], c * 1000.0f);
        EXPECT_EQ(channels[c][127], c * 1000.0f + 127.0f);
    }
    buffer->setFrameLength(1000);
    EXPECT_EQ(buffer->frameLength(), 128u);
}

}  // namespace
