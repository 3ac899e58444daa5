// Command-line parsing shared by kivpoll and kivsim: CLI11 with our exit
// codes and messages, and the version both tools print.
#pragma once

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "kiv_version.h"

namespace kivtools {

// A range check whose limits the option's own help text states; CLI11's
// message names the option and the range when a value falls outside.
inline CLI::Range InRange(long long low, long long high) {
    CLI::Range range(low, high);
    range.description("");
    return range;
}

// The edits (a letter added, dropped or changed) that make one name the
// other, letter case aside.
inline size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            const size_t next = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = row[j];
            row[j] = next;
        }
    }
    return row[b.size()];
}

// The long options nearest to a mistyped one (name without its dashes):
// those a few edits away, or that begin with it (--listen for kivsim's
// --listen-tcp and --listen-rfc2217), or that it begins with (--baudrate
// for --baud). Empty when none is near enough to be a likely meaning.
inline std::vector<std::string> NearestOptions(const CLI::App& app, const std::string& name) {
    const size_t most = std::max<size_t>(1, std::min<size_t>(3, name.size() / 3));
    size_t best = most + 1;
    std::vector<std::string> nearest;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& known : option->get_lnames()) {
            size_t distance = EditDistance(name, known);
            const size_t shorter = std::min(name.size(), known.size());
            if (shorter >= 3 && EditDistance(name.substr(0, shorter), known.substr(0, shorter)) == 0)
                distance = 1;
            if (distance > best) continue;
            if (distance < best) nearest.clear();
            best = distance;
            nearest.push_back("--" + known);
        }
    }
    if (nearest.size() > 3) nearest.clear();  // no telling which was meant
    return nearest;
}

// The long options on the command line that the tool does not have, each
// with what was likely meant; empty when every option is known (the
// unexpected words are then arguments: CLI11's own message says which).
inline std::string UnknownOptions(const CLI::App& app, int argc, char** argv) {
    std::string said;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") break;  // what follows is arguments
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) continue;
        const std::string name = word.substr(2, word.find('=') - 2);
        if (app.get_option_no_throw("--" + name) != nullptr) continue;
        said += (said.empty() ? "" : "\n") + std::string("unknown option --") + name;
        const std::vector<std::string> nearest = NearestOptions(app, name);
        for (size_t n = 0; n < nearest.size(); ++n)
            said += (n == 0 ? "; did you mean " : n + 1 == nearest.size() ? " or " : ", ") + nearest[n];
        if (!nearest.empty()) said += "?";
    }
    return said;
}

// Parses the command line. Returns -1 to go on; 0 after --help or
// --version (printed on standard output); usageExit after a mistake, with
// the reason on standard error under the tool's name: an unknown option
// with the options likely meant, else CLI11's reason.
inline int Parse(CLI::App& app, int argc, char** argv, const char* tool, int usageExit) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            app.exit(error);
            return 0;
        }
        std::string reason = error.what();
        if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
            const std::string unknown = UnknownOptions(app, argc, argv);
            if (!unknown.empty()) reason = unknown;
        }
        std::string lines;
        for (size_t at = 0, end; at <= reason.size(); at = end + 1) {
            end = std::min(reason.find('\n', at), reason.size());
            lines += std::string(tool) + ": " + reason.substr(at, end - at) + "\n";
        }
        std::fprintf(stderr, "%s(%s --help tells more)\n", lines.c_str(), tool);
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
