// kelmo view's HTTP and WebSocket server (Boost.Beast): the page's files
// and one WebSocket per page, on one thread; every page shares the one
// acquisition.
#pragma once

#include <string>

#include "acquisition.h"

namespace kelmo::view {

struct ServerOptions {
    std::string address = "127.0.0.1";
    unsigned short port = 0;  // 0: one the system chooses
    bool readOnly = false;
    std::string files;        // the folder of the page's files
    std::string token;        // every request must carry it
    std::string hello;        // the "hello" message (the cards the controls offer)
    double mostRate = 1e6;    // the highest rate a page may choose
};

// Serves until SIGINT or SIGTERM; prints the page's URL on standard output
// once it listens. Returns the exit status (0, or 1 after a line on stderr
// when it cannot listen).
int serve(const ServerOptions& options, Acquisition& acquisition);

}  // namespace kelmo::view
