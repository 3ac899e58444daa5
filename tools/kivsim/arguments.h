// kivsim's command line: the options, checked and taken into Settings.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/kivsim/kivsim.h"

namespace kivsim {

struct Settings {
    Options options;
    std::vector<std::pair<uint16_t, uint16_t>> stations;
    // Options that are control commands underneath: (option as given, command).
    std::vector<std::pair<std::string, std::string>> setup;
    std::string pathFile;
    std::string scenario;
    std::string traceFile;
    std::string pcapFile;
    std::string http;  // --http: where the console listens, "[ADDRESS:]PORT"; empty: no console
    bool noStdin = false;
    bool trace = false;
    bool quiet = false;
    long long durationS = 0;
    // As given, taken into the above once the command line is parsed.
    std::string listenTcp, listenRfc2217;
    std::vector<std::string> stationTexts, mapTexts, exceptionTexts, faultTexts;
    long long seed = -1;
    bool lenient = false;
    bool plant = false;
    bool utc = false;
};

// Parses the command line; returns -1 to go on, else an exit code (0
// after --help or --version, 2 for misuse, with the reason on standard
// error).
int ParseArguments(int argc, char** argv, Settings* s);

}  // namespace kivsim
