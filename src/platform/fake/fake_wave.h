// What the fake capture and playback devices share.
#pragma once

#include <string>

#include "platform/fake/fake_platform.h"

namespace kelmo::platform::fake {

// What both fake waveform devices do alike: every call is recorded and may
// be scripted to fail with a code, the two buffer slots, and closing.
template <class State>
class FakeWave {
protected:
    FakeWave(FakePlatform& owner, State& s) : s_(s), owner_(owner) {}
    // The scripted failure of `what`, else what `then` answers.
    template <class F>
    uint32_t call(const std::string& what, F&& then) {
        s_.calls.push_back(what);
        const auto it = s_.fail.find(what);
        if (it != s_.fail.end() && it->second) return it->second;
        if (owner_.injected()) return kWaveError;
        return then();
    }
    uint32_t slot_call(const char* what, int slot, uint32_t (WaveSlots::*op)(int)) {
        return call(what + std::to_string(slot), [&] { return (s_.buffers.*op)(slot); });
    }
    uint32_t prepare_slot(int slot, void* data, uint32_t bytes) {
        return call("prepare" + std::to_string(slot), [&] { return s_.buffers.prepare(slot, data, bytes); });
    }
    template <class F>
    uint32_t close_device(F&& also) {
        if (!open_) return kWaveBadHandle;
        return call("close", [&] {
            open_ = false;
            s_.open = false;
            also();
            return 0u;
        });
    }
    FakePlatform& owner() { return owner_; }
    State& s_;

private:
    FakePlatform& owner_;
    bool open_ = true;
};

}  // namespace kelmo::platform::fake
