// Subcommands of the kelmo host.
#pragma once

#include <CLI/CLI.hpp>

namespace kelmo::cli {

void add_cards(CLI::App& app);
void add_dividers(CLI::App& app);
void add_acquire(CLI::App& app);

}  // namespace kelmo::cli
