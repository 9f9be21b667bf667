// The scripted acquisition device: every request is recorded and answered
// by the test's handler.
#include "platform/fake/fake_platform.h"

namespace kelmo::platform {
namespace {

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

DevicePtr FakePlatform::open_device() {
    if (deviceMissing || injected()) {
        lastError = openError;
        return nullptr;
    }
    return std::make_unique<FakeDevice>(*this);
}

}  // namespace kelmo::platform
