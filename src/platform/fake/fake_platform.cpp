#include "platform/fake/fake_platform.h"

#include <cstdlib>
#include <cstring>

namespace kelmo::platform {
namespace {

class FakeShm final : public SharedMemory {
public:
    FakeShm(FakePlatform& owner, std::string name, std::shared_ptr<FakePlatform::Object> obj, std::size_t size,
            bool writable)
        : owner_(owner), name_(std::move(name)), obj_(std::move(obj)), size_(size), writable_(writable) {
        ++obj_->handles;
    }
    ~FakeShm() override {
        if (--obj_->handles == 0) {
            auto it = owner_.objects.find(name_);
            if (it != owner_.objects.end() && it->second == obj_) owner_.objects.erase(it);
        }
    }
    void* data() const override { return obj_->bytes.data(); }
    std::size_t size() const override { return size_; }
    bool writable() const override { return writable_; }
    bool intact() const override { return obj_->bytes.size() >= size_; }

private:
    FakePlatform& owner_;
    std::string name_;
    std::shared_ptr<FakePlatform::Object> obj_;
    std::size_t size_;
    bool writable_;
};

class FakeDevice final : public Device {
public:
    explicit FakeDevice(FakePlatform& owner) : owner_(owner) { ++owner_.openDevices; }
    ~FakeDevice() override {
        if (open_) --owner_.openDevices;
    }
    bool ioctl(uint32_t code, const platform::RequestRecord& record, void* out, uint32_t outSize,
               uint32_t* status, uint32_t timeoutMs) override {
        owner_.requests.push_back({code, record, outSize, timeoutMs});
        cause_ = nullptr;
        if (owner_.injected()) {
            owner_.lastError = 31;  // a device that does not function
            return false;
        }
        if (!owner_.handler) {
            owner_.lastError = 1;
            return false;
        }
        const bool ok = owner_.handler(code, record, out, outSize, status);
        if (!ok && !owner_.transportFailure.empty()) cause_ = owner_.transportFailure.c_str();
        return ok;
    }
    const char* failure_cause() const override { return cause_; }
    bool close() override {
        if (open_) --owner_.openDevices;
        open_ = false;
        if (owner_.closeFails || owner_.injected()) {
            owner_.lastError = owner_.closeError;
            return false;
        }
        return true;
    }

private:
    FakePlatform& owner_;
    bool open_ = true;
    const char* cause_ = nullptr;
};

}  // namespace

FakePlatform::FakePlatform() { install(this); }

FakePlatform::~FakePlatform() {
    for (auto& [p, n] : livePages) std::free(p);
    install(nullptr);
}

unsigned char* FakePlatform::bytes(const std::string& name) {
    auto it = objects.find(name);
    return it == objects.end() ? nullptr : it->second->bytes.data();
}

int32_t FakePlatform::word(const std::string& name, std::size_t index) {
    int32_t v = 0;
    if (auto* b = bytes(name)) std::memcpy(&v, b + index * 4, 4);
    return v;
}

void FakePlatform::set_word(const std::string& name, std::size_t index, int32_t v) {
    if (auto* b = bytes(name)) std::memcpy(b + index * 4, &v, 4);
}

SharedMemoryPtr FakePlatform::shm_create_or_open(const std::string& name, std::size_t size, bool* created) {
    if (created) *created = false;
    if (foreignNames.count(name) || size == 0 || injected()) {
        lastError = 6;  // the name is taken by another kind of object
        return nullptr;
    }
    auto& obj = objects[name];
    if (!obj) {
        obj = std::make_shared<Object>();
        obj->bytes.assign(size, 0);
        if (created) *created = true;
    } else if (obj->bytes.size() < size) {
        lastError = 5;
        return nullptr;
    }
    return std::make_unique<FakeShm>(*this, name, obj, size, true);
}

SharedMemoryPtr FakePlatform::shm_open_existing(const std::string& name, std::size_t size, Access access) {
    auto it = objects.find(name);
    if (it == objects.end() || it->second->bytes.size() < size || size == 0 || injected()) {
        lastError = 2;
        return nullptr;
    }
    return std::make_unique<FakeShm>(*this, name, it->second, size, access == Access::ReadWrite);
}

void FakePlatform::sleep_us(uint32_t us) {
    ++sleeps;
    const uint64_t before = sleptUs / 1000;
    sleptUs += us ? us : 1;
    now += static_cast<uint32_t>(sleptUs / 1000 - before);
    if (onWait) onWait();
}

void FakePlatform::dispatch_messages() {
    ++dispatches;
    if (onWait) onWait();
}

void* FakePlatform::alloc_pages(std::size_t n) {
    if (failAlloc || n == 0 || injected()) {
        lastError = 8;
        return nullptr;
    }
    void* p = std::calloc(1, n);
    if (p) livePages[p] = n;
    return p;
}

bool FakePlatform::release_pages(void* address) {
    auto it = livePages.find(address);
    if (it == livePages.end()) {
        lastError = 487;
        return false;
    }
    std::free(address);
    livePages.erase(it);
    return true;
}

bool FakePlatform::start_program(const char* name) {
    startedPrograms.emplace_back(name);
    if (programMissing || injected()) return false;
    if (onStartProgram) onStartProgram(name);
    return true;
}

DevicePtr FakePlatform::open_device() {
    if (deviceMissing || injected()) {
        lastError = openError;
        return nullptr;
    }
    return std::make_unique<FakeDevice>(*this);
}

std::optional<uint32_t> FakePlatform::user_setting(const char* key, const char* name) {
    ++settingReads;
    const auto it = settings.find(std::string(key) + "|" + name);
    if (it == settings.end() || injected()) return std::nullopt;
    return it->second;
}

std::optional<std::string> FakePlatform::user_setting_text(const char* key, const char* name) {
    ++settingReads;
    const auto it = textSettings.find(std::string(key) + "|" + name);
    if (it == textSettings.end() || injected()) return std::nullopt;
    return it->second.substr(0, 99);
}

bool FakePlatform::set_user_setting_text(const char* key, const char* name, const std::string& value) {
    if (settingWriteFails || injected()) return false;
    textSettings[std::string(key) + "|" + name] = value;
    return true;
}

bool FakePlatform::port_write(uint16_t port, uint8_t value) {
    if (portsDenied || injected()) {
        lastError = 5;
        return false;
    }
    ports[port] = value;
    portWrites.emplace_back(port, value);
    return true;
}

bool FakePlatform::port_read(uint16_t port, uint8_t* value) {
    if (portsDenied || injected()) {
        lastError = 5;
        return false;
    }
    if (onWait) onWait();
    *value = portReader ? portReader(port) : ports[port];
    return true;
}

namespace {

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
    State& s_;

private:
    FakePlatform& owner_;
    bool open_ = true;
};

class FakeWaveIn final : public WaveIn, FakeWave<FakePlatform::Sound> {
public:
    explicit FakeWaveIn(FakePlatform& owner) : FakeWave(owner, owner.sound) {}
    ~FakeWaveIn() override { close(); }
    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return prepare_slot(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return slot_call("unprepare", slot, &WaveSlots::unprepare); }
    uint32_t add(int slot) override { return slot_call("add", slot, &WaveSlots::enqueue); }
    uint32_t start() override { return call("start", [&] { return s_.running = true, 0u; }); }
    uint32_t stop() override { return call("stop", [&] { return s_.running = false, 0u; }); }
    uint32_t reset() override {
        return call("reset", [&] {
            s_.running = false;
            s_.buffers.unqueue_all();
            return 0u;
        });
    }
    uint32_t position(uint32_t* frames) override {
        return call("position", [&] {
            if (s_.running && !s_.stalled) record(s_.framesPerPoll);
            *frames = static_cast<uint32_t>(s_.frames);
            return 0u;
        });
    }
    uint32_t close() override {
        return close_device([&] { s_.running = false; });
    }

private:
    void record(uint32_t n) {
        const int ch = s_.format.channels;
        for (uint32_t i = 0; i < n; ++i, ++s_.frames) {
            if (s_.buffers.queue.empty()) break;  // nothing queued: the frames wait in the device
            auto& slot = s_.buffers.slots[s_.buffers.queue.front()];
            for (int c = 0; c < ch; ++c) {
                const int16_t v = s_.signal(s_.frames, c);
                std::memcpy(slot.data + slot.used, &v, 2);
                slot.used += 2;
            }
            s_.buffers.advance(2u * ch);
        }
    }
};

}  // namespace

uint32_t FakePlatform::wave_in_caps(uint32_t, uint32_t* formats) {
    sound.calls.push_back("caps");
    if (sound.capsResult == 0 && injected()) return kWaveError;
    if (sound.capsResult == 0) *formats = sound.formats;
    return sound.capsResult;
}

uint32_t FakePlatform::wave_in_query(uint32_t, const WaveFormat&) {
    sound.calls.push_back("query");
    if (sound.queryResult == 0 && injected()) return kWaveError;
    return sound.queryResult;
}

uint32_t FakePlatform::wave_in_open(uint32_t, const WaveFormat& format, WaveInPtr* out) {
    sound.calls.push_back("open");
    if (sound.openResult) return sound.openResult;
    if (injected()) return kWaveError;
    sound.open = true;
    ++sound.opens;
    sound.format = format;
    sound.frames = 0;
    sound.buffers = WaveSlots{};
    *out = std::make_unique<FakeWaveIn>(*this);
    return 0;
}

namespace {

class FakeWaveOut final : public WaveOut, FakeWave<FakePlatform::Speaker> {
public:
    explicit FakeWaveOut(FakePlatform& owner) : FakeWave(owner, owner.speaker) {}
    ~FakeWaveOut() override { close(); }
    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return prepare_slot(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return slot_call("unprepare", slot, &WaveSlots::unprepare); }
    uint32_t write(int slot) override { return slot_call("write", slot, &WaveSlots::enqueue); }
    uint32_t pause() override { return call("pause", [&] { return s_.paused = true, 0u; }); }
    uint32_t restart() override { return call("restart", [&] { return s_.paused = false, 0u; }); }
    uint32_t reset() override {
        return call("reset", [&] {
            s_.buffers.unqueue_all();
            return 0u;
        });
    }
    uint32_t position(uint32_t* frames) override {
        return call("position", [&] {
            if (!s_.paused && !s_.stalled) play(s_.framesPerPoll);
            *frames = static_cast<uint32_t>(s_.frames);
            return 0u;
        });
    }
    uint32_t set_volume(uint32_t volume) override {
        return call("volume", [&] { return s_.volume = volume, 0u; });
    }
    uint32_t close() override {
        return close_device([] {});
    }

private:
    // Plays n frames of the queued buffers; a device with nothing queued
    // plays nothing.
    void play(uint32_t n) {
        const uint32_t frameBytes = 2u * s_.format.channels;
        for (uint32_t i = 0; i < n && !s_.buffers.queue.empty(); ++i, ++s_.frames) {
            auto& slot = s_.buffers.slots[s_.buffers.queue.front()];
            for (uint32_t c = 0; c < s_.format.channels; ++c) {
                int16_t v;
                std::memcpy(&v, slot.data + slot.used, 2);
                s_.played.push_back(v);
                slot.used += 2;
            }
            s_.buffers.advance(frameBytes);
        }
    }
};

}  // namespace

uint32_t FakePlatform::wave_out_caps(uint32_t, WaveOutCaps* caps) {
    speaker.calls.push_back("caps");
    if (speaker.capsResult == 0 && injected()) return kWaveError;
    if (speaker.capsResult == 0) *caps = speaker.caps;
    return speaker.capsResult;
}

uint32_t FakePlatform::wave_out_query(uint32_t, const WaveFormat&) {
    speaker.calls.push_back("query");
    if (speaker.queryResult == 0 && injected()) return kWaveError;
    return speaker.queryResult;
}

uint32_t FakePlatform::wave_out_open(uint32_t, const WaveFormat& format, WaveOutPtr* out) {
    speaker.calls.push_back("open");
    if (speaker.openResult) return speaker.openResult;
    if (injected()) return kWaveError;
    speaker.open = true;
    ++speaker.opens;
    speaker.format = format;
    speaker.frames = 0;
    speaker.played.clear();
    speaker.paused = false;
    speaker.buffers = WaveSlots{};
    *out = std::make_unique<FakeWaveOut>(*this);
    return 0;
}

namespace {

class FakeMixer final : public Mixer {
public:
    explicit FakeMixer(FakePlatform& owner) : owner_(owner), m_(owner.mixer) { ++m_.open; }
    ~FakeMixer() override { close(); }
    uint32_t line_by_component(uint32_t componentType, MixerLine* line) override {
        m_.calls.push_back("destination");
        if (m_.destinationResult) return m_.destinationResult;
        if (owner_.injected()) return kWaveError;
        if (componentType != kMixerWaveInDestination) return kMixerBadLine;
        *line = MixerLine{0, 0, 0xFFFF0000, kMixerWaveInDestination, m_.destinationChannels,
                          static_cast<uint32_t>(m_.sources.size()), m_.mux ? 1u : 0u};
        return 0;
    }
    uint32_t line_by_source(uint32_t destination, uint32_t source, MixerLine* line) override {
        m_.calls.push_back("source" + std::to_string(source));
        if (destination != 0 || source >= m_.sources.size()) return kMixerBadLine;
        const auto& s = m_.sources[source];
        if (s.lineResult) return s.lineResult;
        if (owner_.injected()) return kWaveError;
        *line = MixerLine{0, source, 0x10000 + source, s.component, s.channels, 0, s.volume ? 1u : 0u};
        return 0;
    }
    uint32_t control_by_type(uint32_t lineId, uint32_t type, MixerControl* control) override {
        m_.calls.push_back("control");
        if (auto r = fails("control")) return r;
        const uint32_t s = lineId - 0x10000;
        if (s >= m_.sources.size() || type != kMixerVolumeControl || !m_.sources[s].volume) return kMixerBadControl;
        const auto& src = m_.sources[s];
        *control = MixerControl{0x100 + s, kMixerVolumeControl, src.flags, 0, src.minimum, src.maximum, src.steps};
        return 0;
    }
    uint32_t controls(uint32_t lineId, std::vector<MixerControl>* out) override {
        m_.calls.push_back("controls");
        if (auto r = fails("controls")) return r;
        out->clear();
        if (lineId != 0xFFFF0000) return kMixerBadLine;
        if (m_.mux)
            out->push_back(MixerControl{0x10, kMixerMuxControl, m_.muxFlags, static_cast<uint32_t>(m_.sources.size()), 0, 1,
                                        static_cast<uint32_t>(m_.sources.size())});
        return 0;
    }
    uint32_t get_details(uint32_t controlId, uint32_t channels, uint32_t items, uint32_t* values) override {
        m_.calls.push_back("get");
        if (auto r = fails("get")) return r;
        const uint32_t s = controlId - 0x100;
        if (items != 0 || s >= m_.sources.size() || channels > m_.sources[s].value.size()) return kMixerBadControl;
        for (uint32_t c = 0; c < channels; ++c) values[c] = m_.sources[s].value[c];
        return 0;
    }
    uint32_t set_details(uint32_t controlId, uint32_t channels, uint32_t items, const uint32_t* values) override {
        m_.calls.push_back("set");
        if (auto r = fails("set")) return r;
        if (controlId == 0x10) {
            m_.muxValues.assign(values, values + std::size_t(channels) * (items ? items : 1));
            return 0;
        }
        const uint32_t s = controlId - 0x100;
        if (items != 0 || s >= m_.sources.size() || channels > m_.sources[s].value.size()) return kMixerBadControl;
        for (uint32_t c = 0; c < channels; ++c) m_.sources[s].value[c] = values[c];
        return 0;
    }
    uint32_t close() override {
        if (closed_) return kWaveBadHandle;
        closed_ = true;
        --m_.open;
        m_.calls.push_back("close");
        return 0;
    }

private:
    uint32_t fails(const char* step) const {
        const auto it = m_.fail.find(step);
        if (it != m_.fail.end() && it->second) return it->second;
        return owner_.injected() ? uint32_t{kWaveError} : 0u;
    }
    FakePlatform& owner_;
    FakePlatform::MixerFake& m_;
    bool closed_ = false;
};

}  // namespace

void FakePlatform::create_directory(const std::string& path) {
    const auto cut = path.find_last_of("/\\");
    if (cut == std::string::npos) return;
    const std::string parent = path.substr(0, cut == 0 || (cut == 2 && path[1] == ':') ? cut + 1 : cut);
    if (directories.count(parent)) directories.insert(path);
}

uint32_t FakePlatform::mixer_of(WaveIn&, uint32_t* mixerId) {
    mixer.calls.push_back("id");
    if (mixer.idResult) return mixer.idResult;
    if (injected()) return kWaveError;
    *mixerId = 0;
    return 0;
}

uint32_t FakePlatform::mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out) {
    mixer.calls.push_back("open");
    if (mixer.openResult) return mixer.openResult;
    if (injected()) return kWaveError;
    if (id != 0) return kWaveBadDevice;
    ++mixer.opens;
    mixer.notify = std::move(notify);
    *out = std::make_unique<FakeMixer>(*this);
    return 0;
}

}  // namespace kelmo::platform
