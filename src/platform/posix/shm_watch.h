// Watching the shared memories this process keeps views of, so that a call
// need not ask the system about each of them in turn.
//
// A view is only safe to use while its object is as large as the view
// (another process may shrink it, and touching the lost pages faults), and
// a view kept between calls is only worth using while its object is still
// the one under its name and, for the views kept without a lock, while some
// process still holds it. Asking costs a system call per view and question.
// Instead, every kept view's object is watched (inotify): the system queues
// an event whenever a process changes the object's size, links, owner or
// mode, or closes a descriptor of it. One read of the queue per call tells
// which views need asking again; the others are as they were when last
// asked.
//
// A holder that dies closes its descriptors just before its locks go, so
// the answer "still held" is asked again for a while after an event, and
// at least once a second in any case (a holder can also unlock without
// closing). Where the watch cannot be had (no inotify, no /proc, or a child
// made by fork(), which shares its parent's queue), every question goes to
// the system as before.
#pragma once

#include <cstdint>
#include <mutex>

namespace kelmo::platform::posix {

// What a view knows of its object since it last asked the system.
// Views used by several threads at once (those the process keeps) share
// one; the watcher reads and changes it under its lock only.
struct WatchState {
    bool tried = false;         // a watch was asked for
    int wd = -1;                // the watch of its object; -1: not watched
    bool asked = false;         // its size etc. asked since the watch was made
    uint64_t askedAt = 0;       // the object's event count then
    bool holdersAsked = false;  // its holders asked, with its size etc.
    uint64_t holdersAt = 0;     // the object's event count then
    uint64_t holdersNs = 0;     // and when (monotonic)
};

class ShmWatch {
public:
    static ShmWatch& instance();

    // Stops watching for this view (the object's watch goes with its last
    // view).
    void unwatch(WatchState& ws);

    // What a view may take as it last found it. `stands`: the object's
    // size, links, owner and mode are as the view last found them (nothing
    // happened to it since), and with `holders` also the view's last answer
    // about the object's holders (no event came within a settling time
    // before that answer, and it is younger than a second). Otherwise the
    // view asks the system and then hands this look to asked(). Reads the
    // queue once per call of the library and thread (see begin_call), and
    // at least every millisecond within a long call.
    struct Look {
        bool stands = false;
        uint64_t events = 0;
        bool valid = false;  // the object is watched
    };
    // The first look of a view starts watching the object that `fd` (the
    // view's descriptor) is of; `ws` stays unwatched when that cannot be
    // done, and every look then says the view must ask.
    Look look(int fd, WatchState& ws, bool holders);
    // The view has just asked the system (with `holders`, also whether
    // others hold the object) and found the object usable.
    void asked(WatchState& ws, const Look& before, bool holders);

    // In a child made by fork(): the queue is the parent's; nothing is
    // watched any more.
    void forget_after_fork();

private:
    ShmWatch();
    void watch_locked(int fd, WatchState& ws);
    void drain_locked();
};

}  // namespace kelmo::platform::posix
