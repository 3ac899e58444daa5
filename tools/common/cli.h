// Command-line parsing shared by kivpoll and kivsim: CLI11 with our exit
// codes and messages, and the version both tools print.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "kiv_version.h"

namespace kivtools {

// A range check whose limits the option's own help text states; CLI11's
// message names the option and the range when a value falls outside.
inline CLI::Range InRange(long long low, long long high) {
    CLI::Range range(low, high);
    range.description("");
    return range;
}

// Parses the command line. Returns -1 to go on; 0 after --help or
// --version (printed on standard output); usageExit after a mistake, with
// CLI11's reason on standard error under the tool's name.
inline int Parse(CLI::App& app, int argc, char** argv, const char* tool, int usageExit) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            app.exit(error);
            return 0;
        }
        std::fprintf(stderr, "%s: %s\n(%s --help tells more)\n", tool, error.what(), tool);
        return usageExit;
    }
    return -1;
}

// Sets up the parts both tools share: the version flag and help layout.
inline void Prepare(CLI::App& app, const std::string& footer) {
    app.set_version_flag("--version", std::string(app.get_name()) + " " + KIV_VERSION);
    app.footer(footer);
    app.get_formatter()->column_width(28);
}

}  // namespace kivtools
