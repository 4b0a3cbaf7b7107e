#pragma once
// The decoder for what libsndfile does not read, through FFmpeg's libraries: AAC and ALAC in
// .m4a/.mp4, WMA, Matroska and WebM audio, the sound of a video file and the other
// containers listed in ffmpegdecoder.cpp. Only those demuxers are allowed, and they read the
// caller's already checked descriptor through a reader of our own, so that no demuxer opens
// any other file or address (a playlist or a reference movie stays closed).
//
// Lengths come from the container and are estimates until the decoder reaches the end.
// Seeks are sample-exact: the decoder goes to a packet before the target (or back to the
// start, where the container's timestamps are coarser than a sample) and decodes up to it.

#include "decoder.h"

#include <memory>

namespace media {

// FFmpeg over `fd` (which stays the caller's, positioned anywhere); null when the file is
// none of the allowed kinds or holds no sound it can decode. With `mpegAudio` MP3 is allowed
// too: one whose start states no length, which libsndfile ends at its estimate.
std::unique_ptr<Decoder> openFfmpegDecoder(int fd, bool mpegAudio = false);

} // namespace media
