// kelmo — a command-line host of the acquisition library.
#include <cstdio>
#include <sstream>

#include "../portable.h"
#include "commands.h"
#include "kelmo.h"
#include "output.h"

namespace {
// Messages the library would show in a box or print on its console. One
// on the way to a failure is left out: the command's own failure line
// gives the library's reason in words. Any other is printed as a line.
void KELMO_CALL print_message(const char* text, void*) {
    if (kelmo_last_error(nullptr, 0) > 0) return;
    std::string line = kelmo::cli::to_utf8(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::fprintf(stderr, "kelmo: the library says: %s\n", line.c_str());
}
}  // namespace

int main(int argc, char** argv) {
    kelmo::tools::open_closed_standard_descriptors();
    CLI::App app{"kelmo: a host of the kelmo acquisition library", "kelmo"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kelmo " KELMO_TOOL_VERSION " (library ") + kelmo_version() + ")");
    app.footer("Exit status: 0 done, 1 a failure (acquisition, device, output), 2 a usage error, 130 interrupted.");
    kelmo::cli::add_scan(app);
    kelmo::cli::add_cards(app);
    kelmo::cli::add_dividers(app);
    kelmo::cli::add_acquire(app);
#ifdef KELMO_HAVE_VIEW
    kelmo::cli::add_view(app);
#endif
    kelmo_set_message_handler(print_message, nullptr);
    int code = 0;
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        // Help and version go out with the rest of standard output, and are
        // checked with it.
        std::ostringstream text;
        code = app.exit(e, text);
        std::fputs(text.str().c_str(), stdout);
    } catch (const CLI::RuntimeError& e) {
        return e.get_exit_code();  // the failure was reported where it happened
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    // The tables and the summary are buffered: a full disk or a closed pipe
    // may show only now, and fails the run all the same.
    if (code == 0 && !kelmo::cli::standard_output_written()) return 1;
    return code;
}
