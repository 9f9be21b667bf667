// kelmo — a command-line host of the acquisition library.
#include <cstdio>

#include "commands.h"
#include "kelmo.h"

namespace {
// Messages the library would show in a box are printed as a line instead.
void KELMO_CALL print_message(const char* text, void*) {
    std::fprintf(stderr, "kelmo message: %s\n", kelmo::cli::to_utf8(text).c_str());
}
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kelmo: a host of the kelmo acquisition library", "kelmo"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "kelmo " KELMO_TOOL_VERSION);
    app.footer("Exit status: 0 done, 1 a failure (acquisition, device, output), 2 a usage error, 130 interrupted.");
    kelmo::cli::add_scan(app);
    kelmo::cli::add_cards(app);
    kelmo::cli::add_dividers(app);
    kelmo::cli::add_acquire(app);
    kelmo_set_message_handler(print_message, nullptr);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // help, version
    } catch (const CLI::RuntimeError& e) {
        return e.get_exit_code();  // the failure was reported where it happened
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    return 0;
}
