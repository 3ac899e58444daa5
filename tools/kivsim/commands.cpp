// The control language of kivsim (standard input, scenario files, tests) and
// the register map file.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools/kivsim/kivsim.h"

namespace kivsim {

namespace {

const char kCommandHelp[] =
    "commands (S station, R register, P status point; numbers decimal or 0x hex):\n"
    "  stations                      the units played, host addresses, exception mode, clocks\n"
    "  reg S R [V]                   show or set register R (no event)\n"
    "  regs S R N                    show N registers from R\n"
    "  point S P [0|1]               show or set status point P (no event)\n"
    "  change S R V                  set register R and queue a register change\n"
    "  status S P 0|1|toggle         set status point P and queue a status event\n"
    "  toggle S P                    flip status point P and queue a status event\n"
    "  log S R V                     set register R (below 4096) and queue a logged event\n"
    "  events S change|status|log N [FIRST]\n"
    "                                queue N events on FIRST, FIRST+1, ... (values 1, 2, ...)\n"
    "  pending [S]                   events waiting, per kind\n"
    "  clear S                       drop the waiting events\n"
    "  load S|all FILE               load a register map (lines \"register value\", # comments)\n"
    "  exception S|all on|off        report-by-exception: notices when events wait\n"
    "  asktime S                     the next notice asks for the time (class bit 3)\n"
    "  clock S [+MS|-MS|YYYY-MM-DD HH:MM:SS[.mmm]]\n"
    "                                show the unit's clock, shift it, or set it\n"
    "  notice S [CLASS]              send an exception notice (default: the classes that wait)\n"
    "  linkreset S                   send a link reset to the unit's host\n"
    "  send HEX...                   send a message (length byte first) as a frame\n"
    "  raw HEX...                    send bytes as they are\n"
    "  fault KIND [N]                the next N answers (default 1) commit KIND\n"
    "  fault KIND=P                  every answer commits KIND with probability P\n"
    "  fault off                     no more faults\n"
    "  faults                        the faults in force\n"
    "  seed N                        restart the fault generator with seed N\n"
    "  delay MS                      how late the delay fault answers\n"
    "  plant [on|off]                show, start or stop the plant\n"
    "  plant S demo|clear            the demo plant on station S, or none\n"
    "  plant S counter R STEP MS [EV]\n"
    "  plant S ramp R LOW HIGH STEP MS [EV]\n"
    "  plant S sine R OFFSET AMPLITUDE CYCLE_MS MS [EV]\n"
    "  plant S toggle P MS           every MS: add STEP; ramp and wrap; OFFSET + AMPLITUDE *\n"
    "                                sin(2 pi t / CYCLE_MS); flip point P. EV: the events a\n"
    "                                change queues: change, log, both or none (default change)\n"
    "  stats [reset]                 statistics, or back to zero\n"
    "  line                          the line; on the network the client's settings and RTS\n"
    "  carrier on|off                on the radio: hold a carrier up at the host (noise, another\n"
    "                                station), or let it go\n"
    "  trace on|off                  pause or resume the frame trace\n"
    "  sleep MS                      wait (scenario files)\n"
    "  quit                          stop kivsim\n"
    "fault kinds: drop crc delay source destination notice notice-first garbage truncate more late\n"
    "             repeat split noise\n";

bool ParseNumber(const std::string& word, int64_t low, int64_t high, int64_t* value) {
    if (word.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(word.c_str(), &end, 0);
    if (*end || errno != 0 || v < low || v > high) return false;
    *value = v;
    return true;
}

// A register value: 0 to 0xFFFFFFFF, or a negative 32-bit number.
bool ParseValue(const std::string& word, uint32_t* value) {
    int64_t v = 0;
    if (!ParseNumber(word, -2147483648LL, 4294967295LL, &v)) return false;
    *value = uint32_t(v);
    return true;
}

bool ParseHex(const std::vector<std::string>& words, size_t from, std::vector<uint8_t>* bytes) {
    for (size_t i = from; i < words.size(); ++i) {
        std::string word = words[i];
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

std::string FormatClock(int64_t ms) {
    CalendarTime t = LocalCalendar(ms);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.millisecond);
    return text;
}

}  // namespace

const char* CommandHelp() {
    return kCommandHelp;
}

bool IsCommand(const std::string& verb) {
    // The help names every command at the start of a line, after two blanks.
    std::istringstream help(kCommandHelp);
    for (std::string line; std::getline(help, line);) {
        if (line.compare(0, 2, "  ") != 0 || line.size() < 3 || line[2] == ' ') continue;
        if (line.substr(2, line.find(' ', 2) - 2) == verb) return true;
    }
    return verb == "help" || verb == "exit";
}

bool ReadTextLine(std::istream& in, std::string* line, bool* tooLong) {
    line->clear();
    *tooLong = false;
    bool any = false;
    for (std::istream::int_type c; (c = in.get()) != std::istream::traits_type::eof();) {
        any = true;
        if (c == '\n') return true;
        if (line->size() == kCommandLineMax) {
            *tooLong = true;
            return true;
        }
        line->push_back(static_cast<char>(c));
    }
    return any;
}

bool LoadRegisterMap(const std::string& path, std::vector<std::pair<uint16_t, uint32_t>>* entries, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = path + ": cannot open";
        return false;
    }
    std::string text;
    bool tooLong = false;
    for (int lineNumber = 1; ReadTextLine(in, &text, &tooLong); ++lineNumber) {
        if (tooLong) {
            *error = path + ":" + std::to_string(lineNumber) + ": line longer than " +
                     std::to_string(kCommandLineMax) + " characters";
            return false;
        }
        size_t hash = text.find('#');
        if (hash != std::string::npos) text.erase(hash);
        std::istringstream words(text);
        std::string first, second, extra;
        if (!(words >> first)) continue;
        int64_t address = 0;
        uint32_t value = 0;
        if (!(words >> second) || (words >> extra) || !ParseNumber(first, 0, 65535, &address) ||
            !ParseValue(second, &value)) {
            *error = path + ":" + std::to_string(lineNumber) + ": expected \"register value\"";
            return false;
        }
        entries->emplace_back(uint16_t(address), value);
    }
    return true;
}

bool ReadScenario(std::istream& in, const std::string& name, std::vector<std::string>* lines, std::string* error) {
    std::string line;
    bool tooLong = false;
    for (int number = 1; ReadTextLine(in, &line, &tooLong); ++number) {
        const std::string at = name + ":" + std::to_string(number) + ": ";
        if (tooLong) {
            *error = at + "line longer than " + std::to_string(kCommandLineMax) + " characters";
            return false;
        }
        std::istringstream words(line.substr(0, line.find('#')));
        std::string verb;
        if (words >> verb && !IsCommand(verb)) {
            *error = at + "unknown command " + verb + " (kivsim --help lists them)";
            return false;
        }
        lines->push_back(line);
    }
    return true;
}

void CommandFeed::Feed(const char* bytes, size_t count) {
    for (const char* end = bytes + count; bytes < end;) {
        const char* feed = static_cast<const char*>(std::memchr(bytes, '\n', static_cast<size_t>(end - bytes)));
        const char* stop = feed == nullptr ? end : feed;
        if (!dropping_) {
            const size_t piece = static_cast<size_t>(stop - bytes);
            if (partial_.size() + piece > kCommandLineMax) {
                lines_.emplace_back(std::string(), true);
                partial_.clear();
                dropping_ = true;
            } else {
                partial_.append(bytes, piece);
            }
        }
        if (feed == nullptr) break;
        if (!dropping_) lines_.emplace_back(std::move(partial_), false);
        partial_.clear();
        dropping_ = false;
        bytes = feed + 1;
    }
}

bool CommandFeed::Next(std::string* line, bool* tooLong) {
    if (lines_.empty()) return false;
    *line = std::move(lines_.front().first);
    *tooLong = lines_.front().second;
    lines_.pop_front();
    return true;
}

std::string Simulator::Execute(const std::string& command) {
    std::istringstream in(command.substr(0, command.find('#')));
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return "";
    const std::string& verb = w[0];
    std::ostringstream out;
    auto fail = [](const std::string& why) { return "error: " + why + "\n"; };
    int64_t n = 0;
    // Station in w[i]; false when it is no number or not played.
    uint16_t station = 0;
    auto stationAt = [&](size_t i) {
        if (i >= w.size() || !ParseNumber(w[i], 0, 65535, &n)) return false;
        station = uint16_t(n);
        return HasStation(station);
    };
    auto noStation = [&](size_t i) { return fail(i < w.size() ? "no station " + w[i] : "station missing"); };

    if (verb == "help") return kCommandHelp;
    if (verb == "stations") {
        const int64_t pcNow = PcNow();
        for (uint16_t s : Stations()) {
            WithStation(s, [&](Station& unit) {
                out << "station " << s << " host " << unit.Host() << " exception "
                    << (unit.exceptionMode ? "on" : "off") << " clock " << FormatClock(unit.ClockMs(pcNow))
                    << " waiting " << unit.Pending(EventKind::RegisterChange) << "/"
                    << unit.Pending(EventKind::StatusEvent) << "/" << unit.Pending(EventKind::LoggedEvent) << "\n";
            });
        }
        return out.str();
    }
    if (verb == "reg" || verb == "point") {
        const bool isPoint = verb == "point";
        if (!stationAt(1)) return noStation(1);
        int64_t address = 0;
        if (w.size() < 3 || w.size() > 4 || !ParseNumber(w[2], 0, isPoint ? kStatusPointCount - 1 : 65535, &address)) {
            return fail("usage: " + verb + " S " + (isPoint ? "P [0|1]" : "R [V]"));
        }
        if (w.size() == 4) {
            uint32_t value = 0;
            if (isPoint ? !ParseNumber(w[3], 0, 1, &n) : !ParseValue(w[3], &value)) return fail("bad value " + w[3]);
            WithStation(station, [&](Station& s) {
                if (isPoint)
                    s.SetPoint(uint16_t(address), n != 0);
                else
                    s.SetRegister(uint16_t(address), value);
            });
            return "";
        }
        WithStation(station, [&](Station& s) {
            if (isPoint)
                out << s.Point(uint16_t(address)) << "\n";
            else
                out << int32_t(s.RegisterValue(uint16_t(address))) << " (0x" << std::hex
                    << s.RegisterValue(uint16_t(address)) << std::dec << ")\n";
        });
        return out.str();
    }
    if (verb == "regs") {
        if (!stationAt(1)) return noStation(1);
        int64_t first = 0, count = 0;
        if (w.size() != 4 || !ParseNumber(w[2], 0, 65535, &first) || !ParseNumber(w[3], 1, 65536, &count)) {
            return fail("usage: regs S R N");
        }
        WithStation(station, [&](Station& s) {
            for (int64_t k = 0; k < count; ++k) {
                uint16_t address = uint16_t(first + k);
                out << address << " " << int32_t(s.RegisterValue(address)) << "\n";
            }
        });
        return out.str();
    }
    if (verb == "change" || verb == "log") {
        if (!stationAt(1)) return noStation(1);
        int64_t address = 0;
        uint32_t value = 0;
        const int64_t limit = verb == "log" ? kLoggedRegisterCount - 1 : 65535;
        if (w.size() != 4 || !ParseNumber(w[2], 0, limit, &address) || !ParseValue(w[3], &value)) {
            return fail("usage: " + verb + " S R V" + (verb == "log" ? " (R below 4096)" : ""));
        }
        if (verb == "change")
            QueueRegisterChange(station, uint16_t(address), value);
        else
            QueueLoggedEvent(station, uint16_t(address), value);
        return "";
    }
    if (verb == "status" || verb == "toggle") {
        if (!stationAt(1)) return noStation(1);
        int64_t point = 0;
        const size_t words = verb == "status" ? 4 : 3;
        if (w.size() != words || !ParseNumber(w[2], 0, kStatusPointCount - 1, &point)) {
            return fail(verb == "status" ? "usage: status S P 0|1|toggle" : "usage: toggle S P");
        }
        bool state = false;
        if (verb == "toggle" || w[3] == "toggle") {
            WithStation(station, [&](Station& s) { state = !s.Point(uint16_t(point)); });
        } else if (ParseNumber(w[3], 0, 1, &n)) {
            state = n != 0;
        } else {
            return fail("bad state " + w[3]);
        }
        QueueStatusEvent(station, uint16_t(point), state);
        return "";
    }
    if (verb == "events") {
        if (!stationAt(1)) return noStation(1);
        int64_t count = 0, first = 0;
        if (w.size() < 4 || w.size() > 5 || !ParseNumber(w[3], 0, int64_t(kQueueLimit), &count) ||
            (w.size() == 5 && !ParseNumber(w[4], 0, 65535, &first))) {
            return fail("usage: events S change|status|log N [FIRST]");
        }
        for (int64_t k = 0; k < count; ++k) {
            uint32_t value = uint32_t(k + 1);
            if (w[2] == "change") {
                QueueRegisterChange(station, uint16_t(first + k), value);
            } else if (w[2] == "status") {
                QueueStatusEvent(station, uint16_t((first + k) % kStatusPointCount), (k % 2) == 0);
            } else if (w[2] == "log") {
                QueueLoggedEvent(station, uint16_t((first + k) % kLoggedRegisterCount), value);
            } else {
                return fail("kind is change, status or log");
            }
        }
        return "";
    }
    if (verb == "pending") {
        std::vector<uint16_t> list;
        if (w.size() > 1) {
            if (!stationAt(1)) return noStation(1);
            list.push_back(station);
        } else {
            list = Stations();
        }
        for (uint16_t s : list) {
            out << "station " << s << ": register changes " << Pending(s, EventKind::RegisterChange)
                << ", status events " << Pending(s, EventKind::StatusEvent) << ", logged events "
                << Pending(s, EventKind::LoggedEvent) << "\n";
        }
        return out.str();
    }
    if (verb == "clear") {
        if (!stationAt(1)) return noStation(1);
        WithStation(station, [](Station& s) { s.ClearEvents(); });
        return "";
    }
    if (verb == "load") {
        if (w.size() != 3) return fail("usage: load S|all FILE");
        std::vector<uint16_t> list;
        if (w[1] == "all") {
            list = Stations();
        } else if (stationAt(1)) {
            list.push_back(station);
        } else {
            return noStation(1);
        }
        std::vector<std::pair<uint16_t, uint32_t>> entries;
        std::string error;
        if (!LoadRegisterMap(w[2], &entries, &error)) return fail(error);
        for (uint16_t s : list) {
            WithStation(s, [&](Station& unit) {
                for (auto& entry : entries) unit.SetRegister(entry.first, entry.second);
            });
        }
        out << entries.size() << " registers loaded\n";
        return out.str();
    }
    if (verb == "exception") {
        if (w.size() != 3 || (w[2] != "on" && w[2] != "off")) return fail("usage: exception S|all on|off");
        std::vector<uint16_t> list;
        if (w[1] == "all") {
            list = Stations();
        } else if (stationAt(1)) {
            list.push_back(station);
        } else {
            return noStation(1);
        }
        for (uint16_t s : list) SetExceptionMode(s, w[2] == "on");
        return "";
    }
    if (verb == "asktime") {
        if (!stationAt(1)) return noStation(1);
        AskTime(station);
        return "";
    }
    if (verb == "clock") {
        if (!stationAt(1)) return noStation(1);
        const int64_t pcNow = PcNow();
        if (w.size() == 2) {
            WithStation(station, [&](Station& s) { out << FormatClock(s.ClockMs(pcNow)) << "\n"; });
            return out.str();
        }
        if (w.size() == 3 && (w[2][0] == '+' || w[2][0] == '-')) {
            if (!ParseNumber(w[2], -(int64_t(1) << 40), int64_t(1) << 40, &n)) return fail("bad shift " + w[2]);
            WithStation(station, [&](Station& s) { s.SetClockOffset(s.ClockOffset() + n); });
            return "";
        }
        CalendarTime t;
        char fraction[8] = {};
        int fields =
            w.size() == 4 ? std::sscanf(w[3].c_str(), "%d:%d:%d.%3[0-9]", &t.hour, &t.minute, &t.second, fraction) : 0;
        if (w.size() != 4 || std::sscanf(w[2].c_str(), "%d-%d-%d", &t.year, &t.month, &t.day) != 3 || fields < 3) {
            return fail("usage: clock S [+MS|-MS|YYYY-MM-DD HH:MM:SS[.mmm]]");
        }
        // ".5" is 500 ms: the digits are tenths, hundredths, thousandths.
        t.millisecond = 0;
        for (int i = 0, scale = 100; i < 3; ++i, scale /= 10) {
            if (fraction[i])
                t.millisecond += (fraction[i] - '0') * scale;
            else
                break;
        }
        static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
        if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > kMonthDays[t.month - 1] ||
            (t.month == 2 && t.day == 29 && !leap) || t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 ||
            t.second < 0 || t.second > 59) {
            return fail("no such date and time " + w[2] + " " + w[3]);
        }
        // The units' time stamps carry the year less 1900 in eight bits.
        if (t.year < 1970 || t.year > 2155) return fail("date out of range (1970 to 2155)");
        int64_t when = MsFromLocalCalendar(t);
        if (when < 0) return fail("date out of range (1970 to 2155)");
        WithStation(station, [&](Station& s) { s.SetClockOffset(when - pcNow); });
        return "";
    }
    if (verb == "notice") {
        if (!stationAt(1)) return noStation(1);
        int64_t classes = -1;
        if (w.size() > 3 || (w.size() == 3 && !ParseNumber(w[2], 0, 255, &classes)))
            return fail("usage: notice S [CLASS]");
        SendNotice(station, int(classes));
        return "";
    }
    if (verb == "linkreset") {
        if (!stationAt(1)) return noStation(1);
        SendLinkReset(station);
        return "";
    }
    if (verb == "send" || verb == "raw") {
        std::vector<uint8_t> bytes;
        if (!ParseHex(w, 1, &bytes)) return fail("usage: " + verb + " HEX... (e.g. 07 40 00 00 00 05 00 00)");
        if (verb == "send")
            SendMessage(bytes);
        else
            SendRaw(bytes);
        return "";
    }
    if (verb == "fault") {
        if (w.size() == 2 && w[1] == "off") {
            ClearFaults();
            return "";
        }
        if (w.size() < 2 || w.size() > 3) return fail("usage: fault KIND [N] | fault KIND=P | fault off");
        FaultKind kind;
        size_t eq = w[1].find('=');
        if (!ParseFaultName(w[1].substr(0, eq), &kind)) return fail("unknown fault " + w[1].substr(0, eq));
        if (eq != std::string::npos) {
            char* end = nullptr;
            std::string text = w[1].substr(eq + 1);
            double p = std::strtod(text.c_str(), &end);
            if (text.empty() || *end || !(p >= 0 && p <= 1) || w.size() != 2)
                return fail("probability " + text + " not in 0 to 1");
            SetFaultProbability(kind, p);
            return "";
        }
        int64_t count = 1;
        if (w.size() == 3 && !ParseNumber(w[2], 1, 1000000, &count)) return fail("bad count " + w[2]);
        InjectFault(kind, int(count));
        return "";
    }
    if (verb == "faults") return DescribeFaults() + "\n";
    if (verb == "seed") {
        if (w.size() != 2 || !ParseNumber(w[1], 0, INT64_MAX, &n)) return fail("usage: seed N");
        SetFaultSeed(uint64_t(n));
        return "";
    }
    if (verb == "delay") {
        if (w.size() != 2 || !ParseNumber(w[1], 0, 600000, &n)) return fail("usage: delay MS");
        SetDelay(int(n));
        return "";
    }
    if (verb == "plant") {
        if (w.size() == 1) return DescribePlant();
        if (w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
            SetPlantRunning(w[1] == "on");
            return "";
        }
        if (!stationAt(1)) return noStation(1);
        if (w.size() == 3 && w[2] == "demo") {
            for (const Generator& g : DemoPlant()) AddGenerator(station, g);
            return "";
        }
        if (w.size() == 3 && w[2] == "clear") {
            ClearPlant(station);
            return "";
        }
        Generator generator;
        std::string error;
        if (!ParseGenerator(std::vector<std::string>(w.begin() + 2, w.end()), &generator, &error)) return fail(error);
        AddGenerator(station, generator);
        return "";
    }
    if (verb == "line") return DescribeNetLine();
    if (verb == "carrier") {
        if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return fail("usage: carrier on|off");
        SetForcedCarrier(w[1] == "on");
        return "";
    }
    if (verb == "stats") {
        if (w.size() == 2 && w[1] == "reset") {
            ResetStats();
            return "";
        }
        return FormatStats(GetStats());
    }
    if (verb == "trace") {
        if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return fail("usage: trace on|off");
        SetTracing(w[1] == "on");
        return "";
    }
    if (verb == "sleep") {
        if (w.size() != 2 || !ParseNumber(w[1], 0, 86400000, &n)) return fail("usage: sleep MS");
        std::this_thread::sleep_for(std::chrono::milliseconds(n));
        return "";
    }
    if (verb == "quit" || verb == "exit") {
        RequestQuit();
        return "";
    }
    return fail("unknown command " + verb + " (help lists them)");
}

}  // namespace kivsim
