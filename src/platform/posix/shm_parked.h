// The views this process keeps of objects whose handles closed while
// others held them (see shm_posix.cpp): taken back by the next open of the
// same name once it is checked.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/posix/shm_watch.h"

namespace kelmo::platform::posix {

// A view of an object whose handle closed while others held the object:
// the descriptor (holding no lock) and the mapping.
struct ParkedView {
    std::string objName;
    std::size_t prefixLen;  // of its namespace's files, in objName
    int fd;
    void* view;
    std::size_t size;
    bool writable;
    WatchState ws;
};

// Unmaps and closes a view that is not kept.
void unmap_and_close(ParkedView& v);
// Keeps a view (the oldest of too many goes).
void park_view(ParkedView v);
// The kept view of the object named prefix + name, of that size and kind.
std::optional<ParkedView> take_parked(const std::string& prefix, const std::string& name, std::size_t size,
                                      bool writable);

}  // namespace kelmo::platform::posix
