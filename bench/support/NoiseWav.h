// A recording for benchmarks of the runner: `seconds` of two-channel 16-kHz noise
// at a quarter of full scale, the same bytes on every run.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

inline bool writeNoiseWav(const std::string& path, long seconds) {
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    std::vector<short> block(2 * 16000);
    uint32_t state = 12345;
    bool ok = true;
    for (long s = 0; s < seconds && ok; ++s) {
        for (short& x : block) {
            state = state * 1664525u + 1013904223u;
            x = short((int(state >> 16) - 32768) / 4);
        }
        ok = sf_writef_short(f, block.data(), 16000) == 16000;
    }
    sf_close(f);
    return ok;
}
