// Fuzz target: kivsim's readers of outside input without a line: the
// register map (--map, load), the scenario file (--scenario), the commands
// of standard input in pieces of any size, and the control commands they
// carry, run on a simulator that is never started. The input holds the
// three texts, each ended by a NUL: map, scenario, standard input.
//   - A map that loads sets every register it names to its last value
//     there; a refused one names a line of the file.
//   - A scenario read holds only commands; a refused one names its line.
//   - Standard input's lines come out as the text holds them, whatever
//     the pieces, a line over the bound reported in its place.
//   - Every command answers text (an error with "error: " and a line end),
//     a register set quietly shows the value it was given, and a plant
//     generator accepted runs any stretch of time.
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/basics.h"
#include "tools/kivsim/kivsim.h"

namespace {

constexpr int64_t kPcNow = 1796702462345;  // 2026-12-08, the units' clocks run from here

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// Commands the target leaves out or bounds: sleep waits for real, and a
// count of events or registers in the thousands would only make the run slow.
bool Runnable(const std::vector<std::string>& w) {
    if (w.empty()) return true;
    if (w[0] == "sleep") return false;
    auto small = [&](size_t i) { return i >= w.size() || std::strtoll(w[i].c_str(), nullptr, 0) <= 1000; };
    if (w[0] == "regs") return small(3);
    if (w[0] == "events") return small(3);
    return true;
}

// A plant generator the command line gives: run on a unit of its own over
// stretches of time from a millisecond to centuries.
void RunGenerator(const std::vector<std::string>& w) {
    if (w.size() < 3 || w[0] != "plant") return;
    kivsim::Generator generator;
    std::string error;
    if (!kivsim::ParseGenerator(std::vector<std::string>(w.begin() + 2, w.end()), &generator, &error)) {
        fuzzing::Check(!error.empty(), "a refused generator says why");
        return;
    }
    fuzzing::Check(generator.periodMs > 0, "a generator accepted steps forward in time");
    kivsim::Station unit(1, 0);
    std::vector<kivsim::Generator> plant{generator};
    int64_t now = kPcNow;
    const int64_t period = generator.periodMs < (int64_t(1) << 50) ? generator.periodMs : int64_t(1) << 50;
    for (int64_t step : {int64_t(1), int64_t(999), period, int64_t(86400000), int64_t(1) << 40}) {
        now += step;
        const int steps = kivsim::RunPlant(plant, unit, now);
        fuzzing::Check(steps == 0 || steps == 1, "a generator takes at most one step per tick");
    }
}

// Runs one command and checks what it answers.
void Run(kivsim::Simulator& sim, const std::string& line) {
    std::vector<std::string> w = Words(line);
    if (!Runnable(w)) return;
    std::string command = line;
    // A map is only ever read from the file written from the input.
    if (!w.empty() && w[0] == "load" && w.size() == 3) command = "load " + w[1] + " map.txt";
    RunGenerator(w);
    const std::string out = sim.Execute(command);
    if (out.compare(0, 7, "error: ") == 0) {
        fuzzing::Check(out.back() == '\n', "an error ends its line");
        return;
    }
    if (w.size() == 4 && w[0] == "reg" && out.empty()) {
        const std::string shown = sim.Execute("reg " + w[1] + " " + w[2]);
        const int32_t value = static_cast<int32_t>(std::strtoll(w[3].c_str(), nullptr, 0));
        fuzzing::Check(shown.compare(0, std::to_string(value).size() + 1, std::to_string(value) + " ") == 0,
                       "a register set quietly shows the value given");
    }
    if (!w.empty() && (w[0] == "quit" || w[0] == "exit") && w.size() == 1)
        fuzzing::Check(sim.QuitRequested(), "quit asks the simulator to stop");
}

void CheckMap(const std::string& text, kivsim::Simulator& sim) {
    const std::string path =
        fuzzing::WriteScratchFile("map.txt", reinterpret_cast<const uint8_t*>(text.data()), text.size());
    std::vector<std::pair<uint16_t, uint32_t>> entries;
    std::string error;
    const size_t lines = fuzzing::Split(text).size();
    if (!kivsim::LoadRegisterMap(path, &entries, &error)) {
        fuzzing::Check(error.compare(0, path.size() + 1, path + ":") == 0, "a refused map names its file");
        const long line = std::strtol(error.c_str() + path.size() + 1, nullptr, 10);
        fuzzing::Check(line >= 1 && static_cast<size_t>(line) <= lines, "a refused map names one of its lines");
        return;
    }
    fuzzing::Check(entries.size() <= lines, "at most one register a line");
    const std::string loaded = sim.Execute("load 1 map.txt");
    fuzzing::Check(loaded == std::to_string(entries.size()) + " registers loaded\n", "the load says how many");
    std::map<uint16_t, uint32_t> last;
    for (const auto& entry : entries) last[entry.first] = entry.second;
    for (const auto& entry : last) {
        fuzzing::Check(sim.RegisterValue(1, entry.first) == entry.second,
                       "a register the map names holds its last value there");
    }
}

void CheckScenario(const std::string& text, kivsim::Simulator& sim) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    std::string error;
    if (!kivsim::ReadScenario(in, "scenario", &lines, &error)) {
        fuzzing::Check(error.compare(0, 9, "scenario:") == 0, "a refused scenario names its file");
        const long line = std::strtol(error.c_str() + 9, nullptr, 10);
        fuzzing::Check(line == static_cast<long>(lines.size()) + 1, "a refused scenario names the line after the last read");
        return;
    }
    fuzzing::Check(lines == fuzzing::Split(text), "a scenario read is its lines as they stand");
    for (const std::string& line : lines) {
        const std::vector<std::string> w = Words(line);
        fuzzing::Check(w.empty() || kivsim::IsCommand(w[0]), "a scenario read holds only commands");
        Run(sim, line);
    }
}

void CheckConsole(const std::string& text, kivsim::Simulator& sim) {
    // Pieces whose sizes the text itself suggests.
    kivsim::CommandFeed feed;
    std::vector<std::pair<std::string, bool>> got;
    std::string line;
    bool tooLong = false;
    for (size_t at = 0; at < text.size();) {
        const size_t piece = 1 + static_cast<uint8_t>(text[at]) % 61;
        const size_t count = piece < text.size() - at ? piece : text.size() - at;
        feed.Feed(text.data() + at, count);
        at += count;
        while (feed.Next(&line, &tooLong)) got.emplace_back(line, tooLong);
    }
    // A last line without its LF is still being received, unless it is
    // over the bound already.
    std::vector<std::string> whole = fuzzing::Split(text);
    if (!text.empty() && text.back() != '\n' && whole.back().size() <= kivsim::kCommandLineMax) whole.pop_back();
    fuzzing::Check(got.size() == whole.size(), "one line out for each line in");
    for (size_t i = 0; i < got.size(); ++i) {
        const bool overLong = whole[i].size() > kivsim::kCommandLineMax;
        fuzzing::Check(got[i].second == overLong, "a line is dropped exactly when it is over the bound");
        fuzzing::Check(got[i].first == (overLong ? std::string() : whole[i]), "a line comes out as it went in");
    }
    for (const auto& one : got) {
        if (!one.second) Run(sim, one.first);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    // The map, the scenario and the console's text, NUL apart.
    std::vector<std::string> parts = fuzzing::Split(input, '\0');
    parts.resize(3);

    kivsim::Options options;
    options.pcClock = [] { return kPcNow; };
    kivsim::Simulator sim(options);
    sim.AddStation(1, 0);
    sim.AddStation(2, 5);
    fuzzing::InScratchDirectory here;
    CheckMap(parts[0], sim);
    CheckScenario(parts[1], sim);
    CheckConsole(parts[2], sim);
    return 0;
}
