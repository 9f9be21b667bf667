// The two buffer slots of a waveform device and the order they were queued
// in: what a backend without the system's own buffer headers keeps (the
// ALSA devices, the fake). Not locked: the device's own lock covers it.
#pragma once

#include <cstdint>
#include <deque>

#include "platform/platform.h"

namespace kelmo::platform {

struct WaveSlots {
    struct Slot {
        unsigned char* data = nullptr;
        uint32_t bytes = 0;
        uint32_t used = 0;  // bytes recorded or played
        bool prepared = false, queued = false;
    };
    Slot slots[2];
    std::deque<int> queue;

    static bool valid(int slot) { return slot == 0 || slot == 1; }

    uint32_t prepare(int slot, void* data, uint32_t bytes) {
        if (!valid(slot) || !data) return kWaveError;
        if (slots[slot].queued) return kWaveStillPlaying;
        slots[slot] = {static_cast<unsigned char*>(data), bytes, 0, true, false};
        return kWaveOk;
    }
    uint32_t unprepare(int slot) {
        if (!valid(slot)) return kWaveError;
        if (slots[slot].queued) return kWaveStillPlaying;
        slots[slot].prepared = false;
        return kWaveOk;
    }
    // Queues a prepared slot behind the others.
    uint32_t enqueue(int slot) {
        if (!valid(slot)) return kWaveError;
        if (!slots[slot].prepared) return kWaveUnprepared;
        if (slots[slot].queued) return kWaveStillPlaying;
        slots[slot].queued = true;
        slots[slot].used = 0;
        queue.push_back(slot);
        return kWaveOk;
    }
    // Returns every queued slot.
    void unqueue_all() {
        for (auto& s : slots) s.queued = false;
        queue.clear();
    }
    // The front slot, once `frameBytes` more would not fit, is done.
    void advance(uint32_t frameBytes) {
        Slot& s = slots[queue.front()];
        if (s.used + frameBytes > s.bytes) {
            s.queued = false;
            queue.pop_front();
        }
    }
};

}  // namespace kelmo::platform
