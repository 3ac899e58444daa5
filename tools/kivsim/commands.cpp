// The control language of kivsim (standard input, scenario files, tests):
// one table of commands drives the help, the recognition of a verb and its
// dispatch.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tools/common/time_text.h"
#include "tools/kivsim/kivsim.h"

namespace kivsim {

namespace {

using Words = std::vector<std::string>;

struct Call;

struct Command {
    const char* verb;
    const char* args;  // what follows the verb in the help; nullptr: not listed
    const char* text;  // its description there, lines apart by \n
    std::string (*run)(Call&);
    bool station;  // w[1] must name a played station, checked before run
};

// One command being run: its words and, for a command that takes a played
// station first, that station.
struct Call {
    Simulator& sim;
    const Words& w;
    const Command& command;
    uint16_t station;
};

std::string Fail(const std::string& why) {
    return "error: " + why + "\n";
}

std::string Usage(const Call& c, const char* more = "") {
    return Fail(std::string("usage: ") + c.command.verb + " " + c.command.args + more);
}

bool ParseHex(const Words& words, size_t from, std::vector<uint8_t>* bytes) {
    for (size_t i = from; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() % 2) return false;
        for (size_t j = 0; j < word.size(); j += 2) {
            char* end = nullptr;
            std::string pair = word.substr(j, 2);
            long v = std::strtol(pair.c_str(), &end, 16);
            if (*end) return false;
            bytes->push_back(uint8_t(v));
        }
    }
    return !bytes->empty();
}

// The played station in w[1].
bool StationAt(Call& c) {
    int64_t n = 0;
    if (c.w.size() < 2 || !ParseNumber(c.w[1], 0, 65535, &n)) return false;
    c.station = uint16_t(n);
    return c.sim.HasStation(c.station);
}

std::string NoStation(const Call& c) {
    return Fail(c.w.size() > 1 ? "no station " + c.w[1] : "station missing");
}

// The stations w[1] names: "all" or a played station.
bool StationList(Call& c, std::vector<uint16_t>* list) {
    if (c.w[1] == "all") {
        *list = c.sim.Stations();
        return true;
    }
    if (!StationAt(c)) return false;
    list->push_back(c.station);
    return true;
}

// A unit's clock in local time, whatever zone the trace shows.
std::string FormatClock(int64_t ms) {
    return kivtools::FormatTime(ms, kivtools::TimeForm::DateTime, false);
}

// "YYYY-MM-DD" and "HH:MM:SS[.mmm]" into *t; false when they are not of that form.
bool ParseDateTime(const std::string& date, const std::string& time, CalendarTime* t) {
    char fraction[8] = {};
    if (std::sscanf(time.c_str(), "%d:%d:%d.%3[0-9]", &t->hour, &t->minute, &t->second, fraction) < 3 ||
        std::sscanf(date.c_str(), "%d-%d-%d", &t->year, &t->month, &t->day) != 3) {
        return false;
    }
    // ".5" is 500 ms: the digits are tenths, hundredths, thousandths.
    t->millisecond = 0;
    for (int i = 0, scale = 100; i < 3 && fraction[i]; ++i, scale /= 10) t->millisecond += (fraction[i] - '0') * scale;
    return true;
}

bool ValidDateTime(const CalendarTime& t) {
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= kMonthDays[t.month - 1] &&
           !(t.month == 2 && t.day == 29 && !leap) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 &&
           t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

std::string ShowStations(Call& c) {
    std::ostringstream out;
    const int64_t pcNow = c.sim.PcNow();
    for (uint16_t s : c.sim.Stations()) {
        c.sim.WithStation(s, [&](Station& unit) {
            out << "station " << s << " host " << unit.Host() << " exception " << (unit.exceptionMode ? "on" : "off")
                << " clock " << FormatClock(unit.ClockMs(pcNow)) << " waiting "
                << unit.Pending(EventKind::RegisterChange) << "/" << unit.Pending(EventKind::StatusEvent) << "/"
                << unit.Pending(EventKind::LoggedEvent) << "\n";
        });
    }
    return out.str();
}

// reg and point: show or set without an event.
std::string RegisterOrPoint(Call& c) {
    const bool isPoint = c.w[0] == "point";
    int64_t address = 0;
    if (c.w.size() < 3 || c.w.size() > 4 || !ParseNumber(c.w[2], 0, isPoint ? kStatusPointCount - 1 : 65535, &address))
        return Usage(c);
    const uint16_t at = uint16_t(address);
    if (c.w.size() == 4) {
        int64_t state = 0;
        uint32_t value = 0;
        if (isPoint ? !ParseNumber(c.w[3], 0, 1, &state) : !ParseValue(c.w[3], &value))
            return Fail("bad value " + c.w[3]);
        c.sim.WithStation(c.station, [&](Station& s) {
            if (isPoint)
                s.SetPoint(at, state != 0);
            else
                s.SetRegister(at, value);
        });
        return "";
    }
    std::ostringstream out;
    c.sim.WithStation(c.station, [&](Station& s) {
        if (isPoint)
            out << s.Point(at) << "\n";
        else
            out << int32_t(s.RegisterValue(at)) << " (0x" << std::hex << s.RegisterValue(at) << std::dec << ")\n";
    });
    return out.str();
}

std::string ShowRegisters(Call& c) {
    int64_t first = 0, count = 0;
    if (c.w.size() != 4 || !ParseNumber(c.w[2], 0, 65535, &first) || !ParseNumber(c.w[3], 1, 65536, &count))
        return Usage(c);
    std::ostringstream out;
    c.sim.WithStation(c.station, [&](Station& s) {
        for (int64_t k = 0; k < count; ++k) {
            uint16_t address = uint16_t(first + k);
            out << address << " " << int32_t(s.RegisterValue(address)) << "\n";
        }
    });
    return out.str();
}

// change and log: set a register and queue its event.
std::string QueueValue(Call& c) {
    const bool logged = c.w[0] == "log";
    int64_t address = 0;
    uint32_t value = 0;
    if (c.w.size() != 4 || !ParseNumber(c.w[2], 0, logged ? kLoggedRegisterCount - 1 : 65535, &address) ||
        !ParseValue(c.w[3], &value)) {
        return Usage(c, logged ? " (R below 4096)" : "");
    }
    if (logged)
        c.sim.QueueLoggedEvent(c.station, uint16_t(address), value);
    else
        c.sim.QueueRegisterChange(c.station, uint16_t(address), value);
    return "";
}

// status and toggle: set or flip a point and queue its event.
std::string QueueStatus(Call& c) {
    const bool toggle = c.w[0] == "toggle";
    int64_t point = 0, n = 0;
    if (c.w.size() != (toggle ? 3u : 4u) || !ParseNumber(c.w[2], 0, kStatusPointCount - 1, &point)) return Usage(c);
    bool state = false;
    if (toggle || c.w[3] == "toggle") {
        c.sim.WithStation(c.station, [&](Station& s) { state = !s.Point(uint16_t(point)); });
    } else if (ParseNumber(c.w[3], 0, 1, &n)) {
        state = n != 0;
    } else {
        return Fail("bad state " + c.w[3]);
    }
    c.sim.QueueStatusEvent(c.station, uint16_t(point), state);
    return "";
}

std::string QueueEvents(Call& c) {
    const Words& w = c.w;
    int64_t count = 0, first = 0;
    if (w.size() < 4 || w.size() > 5 || !ParseNumber(w[3], 0, int64_t(kQueueLimit), &count) ||
        (w.size() == 5 && !ParseNumber(w[4], 0, 65535, &first))) {
        return Usage(c);
    }
    for (int64_t k = 0; k < count; ++k) {
        uint32_t value = uint32_t(k + 1);
        if (w[2] == "change") {
            c.sim.QueueRegisterChange(c.station, uint16_t(first + k), value);
        } else if (w[2] == "status") {
            c.sim.QueueStatusEvent(c.station, uint16_t((first + k) % kStatusPointCount), (k % 2) == 0);
        } else if (w[2] == "log") {
            c.sim.QueueLoggedEvent(c.station, uint16_t((first + k) % kLoggedRegisterCount), value);
        } else {
            return Fail("kind is change, status or log");
        }
    }
    return "";
}

std::string ShowPending(Call& c) {
    if (c.w.size() > 1 && !StationAt(c)) return NoStation(c);
    const std::vector<uint16_t> list = c.w.size() > 1 ? std::vector<uint16_t>{c.station} : c.sim.Stations();
    std::ostringstream out;
    for (uint16_t s : list) {
        out << "station " << s << ": register changes " << c.sim.Pending(s, EventKind::RegisterChange)
            << ", status events " << c.sim.Pending(s, EventKind::StatusEvent) << ", logged events "
            << c.sim.Pending(s, EventKind::LoggedEvent) << "\n";
    }
    return out.str();
}

std::string LoadMap(Call& c) {
    if (c.w.size() != 3) return Usage(c);
    std::vector<uint16_t> list;
    if (!StationList(c, &list)) return NoStation(c);
    std::vector<std::pair<uint16_t, uint32_t>> entries;
    std::string error;
    if (!LoadRegisterMap(c.w[2], &entries, &error)) return Fail(error);
    for (uint16_t s : list) {
        c.sim.WithStation(s, [&](Station& unit) {
            for (auto& entry : entries) unit.SetRegister(entry.first, entry.second);
        });
    }
    return std::to_string(entries.size()) + " registers loaded\n";
}

std::string Exception(Call& c) {
    if (c.w.size() != 3 || (c.w[2] != "on" && c.w[2] != "off")) return Usage(c);
    std::vector<uint16_t> list;
    if (!StationList(c, &list)) return NoStation(c);
    for (uint16_t s : list) c.sim.SetExceptionMode(s, c.w[2] == "on");
    return "";
}

std::string Clock(Call& c) {
    const Words& w = c.w;
    const int64_t pcNow = c.sim.PcNow();
    if (w.size() == 2) {
        std::string text;
        c.sim.WithStation(c.station, [&](Station& s) { text = FormatClock(s.ClockMs(pcNow)) + "\n"; });
        return text;
    }
    if (w.size() == 3 && (w[2][0] == '+' || w[2][0] == '-')) {
        int64_t shift = 0;
        if (!ParseNumber(w[2], -(int64_t(1) << 40), int64_t(1) << 40, &shift)) return Fail("bad shift " + w[2]);
        c.sim.WithStation(c.station, [&](Station& s) { s.SetClockOffset(s.ClockOffset() + shift); });
        return "";
    }
    CalendarTime t;
    if (w.size() != 4 || !ParseDateTime(w[2], w[3], &t)) return Usage(c);
    if (!ValidDateTime(t)) return Fail("no such date and time " + w[2] + " " + w[3]);
    // The units' time stamps carry the year less 1900 in eight bits.
    const int64_t when = t.year < 1970 || t.year > 2155 ? -1 : MsFromLocalCalendar(t);
    if (when < 0) return Fail("date out of range (1970 to 2155)");
    c.sim.WithStation(c.station, [&](Station& s) { s.SetClockOffset(when - pcNow); });
    return "";
}

std::string Notice(Call& c) {
    int64_t classes = -1;
    if (c.w.size() > 3 || (c.w.size() == 3 && !ParseNumber(c.w[2], 0, 255, &classes))) return Usage(c);
    c.sim.SendNotice(c.station, int(classes));
    return "";
}

// send and raw: a message as a frame, or bytes as they are.
std::string SendBytes(Call& c) {
    std::vector<uint8_t> bytes;
    if (!ParseHex(c.w, 1, &bytes)) return Usage(c, " (e.g. 07 40 00 00 00 05 00 00)");
    if (c.w[0] == "send")
        c.sim.SendMessage(bytes);
    else
        c.sim.SendRaw(bytes);
    return "";
}

std::string Fault(Call& c) {
    const Words& w = c.w;
    if (w.size() == 2 && w[1] == "off") {
        c.sim.ClearFaults();
        return "";
    }
    if (w.size() < 2 || w.size() > 3) return Fail("usage: fault KIND [N] | fault KIND=P | fault off");
    FaultKind kind;
    const size_t eq = w[1].find('=');
    if (!ParseFaultName(w[1].substr(0, eq), &kind)) return Fail("unknown fault " + w[1].substr(0, eq));
    if (eq != std::string::npos) {
        char* end = nullptr;
        const std::string text = w[1].substr(eq + 1);
        const double p = std::strtod(text.c_str(), &end);
        if (text.empty() || *end || !(p >= 0 && p <= 1) || w.size() != 2)
            return Fail("probability " + text + " not in 0 to 1");
        c.sim.SetFaultProbability(kind, p);
        return "";
    }
    int64_t count = 1;
    if (w.size() == 3 && !ParseNumber(w[2], 1, 1000000, &count)) return Fail("bad count " + w[2]);
    c.sim.InjectFault(kind, int(count));
    return "";
}

// seed, delay and sleep: one number from 0 to the verb's bound.
std::string TakeNumber(Call& c) {
    const std::string& verb = c.w[0];
    const int64_t high = verb == "seed" ? INT64_MAX : verb == "delay" ? 600000 : 86400000;
    int64_t n = 0;
    if (c.w.size() != 2 || !ParseNumber(c.w[1], 0, high, &n)) return Usage(c);
    if (verb == "seed")
        c.sim.SetFaultSeed(uint64_t(n));
    else if (verb == "delay")
        c.sim.SetDelay(int(n));
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(n));
    return "";
}

std::string Plant(Call& c) {
    const Words& w = c.w;
    if (w.size() == 1) return c.sim.DescribePlant();
    if (w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        c.sim.SetPlantRunning(w[1] == "on");
        return "";
    }
    if (!StationAt(c)) return NoStation(c);
    if (w.size() == 3 && w[2] == "demo") {
        for (const Generator& g : DemoPlant()) c.sim.AddGenerator(c.station, g);
        return "";
    }
    if (w.size() == 3 && w[2] == "clear") {
        c.sim.ClearPlant(c.station);
        return "";
    }
    Generator generator;
    std::string error;
    if (!ParseGenerator(Words(w.begin() + 2, w.end()), &generator, &error)) return Fail(error);
    c.sim.AddGenerator(c.station, generator);
    return "";
}

std::string ShowStats(Call& c) {
    if (c.w.size() == 2 && c.w[1] == "reset") {
        c.sim.ResetStats();
        return "";
    }
    return FormatStats(c.sim.GetStats());
}

// carrier and trace: on or off.
std::string Switch(Call& c) {
    if (c.w.size() != 2 || (c.w[1] != "on" && c.w[1] != "off")) return Usage(c);
    if (c.w[0] == "carrier")
        c.sim.SetForcedCarrier(c.w[1] == "on");
    else
        c.sim.SetTracing(c.w[1] == "on");
    return "";
}

std::string Quit(Call& c) {
    c.sim.RequestQuit();
    return "";
}

const char kHelpHead[] = "commands (S station, R register, P status point; numbers decimal or 0x hex):\n";
const char kHelpTail[] =
    "fault kinds: drop crc delay source destination notice notice-first garbage truncate more late\n"
    "             repeat split noise\n";

// In the order of the help; a row without a handler only adds a line to it.
const Command kCommands[] = {
    {"stations", "", "the units played, host addresses, exception mode, clocks", ShowStations, false},
    {"reg", "S R [V]", "show or set register R (no event)", RegisterOrPoint, true},
    {"regs", "S R N", "show N registers from R", ShowRegisters, true},
    {"point", "S P [0|1]", "show or set status point P (no event)", RegisterOrPoint, true},
    {"change", "S R V", "set register R and queue a register change", QueueValue, true},
    {"status", "S P 0|1|toggle", "set status point P and queue a status event", QueueStatus, true},
    {"toggle", "S P", "flip status point P and queue a status event", QueueStatus, true},
    {"log", "S R V", "set register R (below 4096) and queue a logged event", QueueValue, true},
    {"events", "S change|status|log N [FIRST]", "queue N events on FIRST, FIRST+1, ... (values 1, 2, ...)",
     QueueEvents, true},
    {"pending", "[S]", "events waiting, per kind", ShowPending, false},
    {"clear", "S", "drop the waiting events",
     [](Call& c) { c.sim.WithStation(c.station, [](Station& s) { s.ClearEvents(); }); return std::string(); }, true},
    {"load", "S|all FILE", "load a register map (lines \"register value [name]\", # comments)", LoadMap, false},
    {"exception", "S|all on|off", "report-by-exception: notices when events wait", Exception, false},
    {"asktime", "S", "the next notice asks for the time (class bit 3)",
     [](Call& c) { c.sim.AskTime(c.station); return std::string(); }, true},
    {"clock", "S [+MS|-MS|YYYY-MM-DD HH:MM:SS[.mmm]]", "show the unit's clock, shift it, or set it", Clock, true},
    {"notice", "S [CLASS]", "send an exception notice (default: the classes that wait)", Notice, true},
    {"linkreset", "S", "send a link reset to the unit's host",
     [](Call& c) { c.sim.SendLinkReset(c.station); return std::string(); }, true},
    {"send", "HEX...", "send a message (length byte first) as a frame", SendBytes, false},
    {"raw", "HEX...", "send bytes as they are", SendBytes, false},
    {"fault", "KIND [N]", "the next N answers (default 1) commit KIND", Fault, false},
    {"fault", "KIND=P", "every answer commits KIND with probability P", nullptr, false},
    {"fault", "off", "no more faults", nullptr, false},
    {"faults", "", "the faults in force", [](Call& c) { return c.sim.DescribeFaults() + "\n"; }, false},
    {"seed", "N", "restart the fault generator with seed N", TakeNumber, false},
    {"delay", "MS", "how late the delay fault answers", TakeNumber, false},
    {"plant", "[on|off]", "show, start or stop the plant", Plant, false},
    {"plant", "S demo|clear", "the demo plant on station S, or none", nullptr, false},
    {"plant", "S counter R STEP MS [EV]", "", nullptr, false},
    {"plant", "S ramp R LOW HIGH STEP MS [EV]", "", nullptr, false},
    {"plant", "S sine R OFFSET AMPLITUDE CYCLE_MS MS [EV]", "", nullptr, false},
    {"plant", "S toggle P MS",
     "every MS: add STEP; ramp and wrap; OFFSET + AMPLITUDE *\nsin(2 pi t / CYCLE_MS); flip point P. EV: the "
     "events a\nchange queues: change, log, both or none (default change)",
     nullptr, false},
    {"stats", "[reset]", "statistics, or back to zero", ShowStats, false},
    {"line", "", "the line; on the network the client's settings and RTS",
     [](Call& c) { return c.sim.DescribeNetLine(); }, false},
    {"carrier", "on|off", "on the radio: hold a carrier up at the host (noise, another\nstation), or let it go", Switch,
     false},
    {"trace", "on|off", "pause or resume the frame trace", Switch, false},
    {"sleep", "MS", "wait (scenario files)", TakeNumber, false},
    {"quit", "", "stop kivsim", Quit, false},
    {"exit", nullptr, "", Quit, false},
    {"help", nullptr, "", [](Call&) { return std::string(CommandHelp()); }, false},
};

// The command's lines of the help: the description from column 32, or on a
// line of its own below a long synopsis.
std::string HelpLines(const Command& c) {
    const std::string indent(32, ' ');
    std::string line = std::string("  ") + c.verb + (*c.args ? " " : "") + c.args;
    if (*c.text == '\0') return line + "\n";
    line += line.size() < indent.size() ? std::string(indent.size() - line.size(), ' ') : "\n" + indent;
    for (const char* p = c.text; *p; ++p) line += *p == '\n' ? "\n" + indent : std::string(1, *p);
    return line + "\n";
}

const Command* FindCommand(const std::string& verb) {
    for (const Command& command : kCommands) {
        if (command.run != nullptr && verb == command.verb) return &command;
    }
    return nullptr;
}

}  // namespace

const char* CommandHelp() {
    static const std::string help = [] {
        std::string text = kHelpHead;
        for (const Command& command : kCommands) {
            if (command.args != nullptr) text += HelpLines(command);
        }
        return text + kHelpTail;
    }();
    return help.c_str();
}

bool IsCommand(const std::string& verb) {
    return FindCommand(verb) != nullptr;
}

std::string Simulator::Execute(const std::string& command) {
    std::istringstream in(command.substr(0, command.find('#')));
    Words w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "";
    const Command* found = FindCommand(w[0]);
    if (found == nullptr) return Fail("unknown command " + w[0] + " (help lists them)");
    Call call{*this, w, *found, 0};
    if (found->station && !StationAt(call)) return NoStation(call);
    return found->run(call);
}

}  // namespace kivsim
