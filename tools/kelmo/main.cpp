// kelmo — a command-line host of the acquisition library.
#include <cstdio>

#include "commands.h"
#include "kelmo.h"

namespace {
// Messages the library would show in a box are printed as a line instead.
void KELMO_CALL print_message(const char* text, void*) { std::fprintf(stderr, "kelmo message: %s\n", text); }
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kelmo: a host of the kelmo acquisition library"};
    app.require_subcommand(1);
    kelmo::cli::add_cards(app);
    kelmo::cli::add_dividers(app);
    kelmo::cli::add_acquire(app);
    kelmo_set_message_handler(print_message, nullptr);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
