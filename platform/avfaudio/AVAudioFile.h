#pragma once

#include "platform/avfaudio/AVAudioFormat.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"
#include "platform/foundation/Error.h"

#include <cstdint>
#include <memory>
#include <string>

// An audio file (WAV, AIFF and the other formats libsndfile reads) opened for reading or
// writing. Reading delivers the file's own sample rate and channel count as 32-bit float,
// non-interleaved (the processing format); nothing is resampled.
//
// Errors have the domain "AVAudioFile" and one of the codes below. A missing path gives
// kErrorFileNotFound; a directory, another non-regular file, a file that is not audio, headerless
// data, or a malformed header gives kErrorUnreadable.
//
// Truncated files: `length` counts only the whole frames really present, even when the header
// promises more, so reading `length` frames succeeds with exactly the data that is there. Should
// the data still end before `length` (the file shrank while open, or a decoder error), the read
// fails with kErrorReadFailed; it is never reported as a full success.
class AVAudioFile {
public:
    static constexpr int64_t kErrorFileNotFound = -1;  // no file at the path
    static constexpr int64_t kErrorUnreadable = -2;    // not an audio file we can read, or malformed
    static constexpr int64_t kErrorReadFailed = -3;    // the file ended or failed before its stated length
    static constexpr int64_t kErrorWriteFailed = -4;   // the file could not be created or written

    ~AVAudioFile();
    AVAudioFile(const AVAudioFile&) = delete;
    AVAudioFile& operator=(const AVAudioFile&) = delete;

    // The open file, or nothing with the error filled in.
    static std::unique_ptr<AVAudioFile> initForReading(const std::string& path, Error* error);
    // A new 32-bit float WAV file in the given format (replacing any file at the path); the
    // sample rate is stored rounded to whole Hz.
    static std::unique_ptr<AVAudioFile> initForWriting(const std::string& path, const AVAudioFormat& format,
                                                       Error* error);

    const std::string& path() const { return path_; }
    // The format of the samples as delivered: float, non-interleaved, at the file's rate and channels.
    const AVAudioFormat& processingFormat() const { return processingFormat_; }
    // Length in frames (for a file being written: the frames written so far).
    int64_t length() const { return length_; }
    int64_t framePosition() const { return framePosition_; }

    // Reads from the current position until the buffer is full or the file ends; sets the
    // buffer's frameLength to the frames read. The buffer's channel count must match the file's
    // (else kErrorReadFailed, nothing read).
    bool readIntoBuffer(AVAudioPCMBuffer& buffer, Error* error);
    // Appends the buffer's first frameLength frames.
    bool writeFromBuffer(const AVAudioPCMBuffer& buffer, Error* error);

private:
    struct Handle;
    AVAudioFile(std::unique_ptr<Handle> handle, std::string path, AVAudioFormat format, int64_t length);

    std::unique_ptr<Handle> handle_;
    std::string path_;
    AVAudioFormat processingFormat_;
    int64_t length_;
    int64_t framePosition_ = 0;
};

// Opens a file for reading, as the loaders and the standalone application do.
inline std::unique_ptr<AVAudioFile> openAudioFileForReading(const std::string& path, Error* error) {
    return AVAudioFile::initForReading(path, error);
}
