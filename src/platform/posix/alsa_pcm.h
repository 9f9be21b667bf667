// What the ALSA capture and playback devices share: ALSA's "default" PCM,
// opened for 16-bit PCM, and the standard formats it takes.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

#include "platform/platform.h"

namespace kelmo::platform::posix {

// The default PCM of `stream` set to `format` (16-bit interleaved, at most
// `latencyUs` of buffer); nullptr with *result kWaveBadDevice or
// kWaveBadFormat when it cannot be had.
snd_pcm_t* open_default_pcm(snd_pcm_stream_t stream, int mode, const WaveFormat& format, unsigned latencyUs,
                            uint32_t* result);

// The default capture PCM set to `format`, with a buffer of about
// `bufferUs` read in periods of about `periodUs`; as above otherwise.
snd_pcm_t* open_default_capture(int mode, const WaveFormat& format, unsigned bufferUs, unsigned periodUs,
                                uint32_t* result);

// The standard format flags (0x1 .. 0x800) the default PCM of `stream`
// takes, and the most channels among them; kWaveBadDevice without one.
uint32_t default_pcm_formats(snd_pcm_stream_t stream, uint32_t* formats, uint16_t* maxChannels);

}  // namespace kelmo::platform::posix
