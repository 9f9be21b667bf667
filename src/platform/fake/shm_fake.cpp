// Shared memories in process memory, with the lifetime of the real ones:
// an object lives while a handle holds it.
#include "platform/fake/fake_platform.h"

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

}  // namespace

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

}  // namespace kelmo::platform
