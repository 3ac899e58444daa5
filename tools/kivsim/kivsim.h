// kivsim: DPC3000 units on one serial line, for commissioning without
// hardware and for end-to-end tests. A Simulator owns the line (a
// pseudo-terminal pair it creates, or a serial device), holds the units and
// answers the frames addressed to them on a service thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/kivsim/faults.h"
#include "tools/kivsim/net_line.h"
#include "tools/kivsim/plant.h"
#include "tools/kivsim/station.h"

namespace kivsim {

struct Options {
    std::string device;        // serial device to serve; empty: create a pseudo-terminal pair
    int baud = 9600;           // line speed of the device
    std::string linkPath;      // also make a symbolic link of this name to the line
    // Serve the line over TCP instead (raw or RFC 2217), one client at a time.
    NetLineKind listenKind = NetLineNone;
    std::string listenAddress;  // empty: the loopback (127.0.0.1 and ::1)
    int listenPort = 0;         // 0: one the system picks (LinePath() tells which)
    RadioSettings radio;        // a half-duplex radio between host and units (RFC 2217 only)
    int paceBaud = 0;          // > 0: every byte takes 10 bits at this rate, both ways
    uint64_t seed = 1;         // seed of the fault generator
    int delayMs = 1500;        // how late the delay fault answers
    int lateMs = 500;          // how late the late fault answers
    int repeatGapMs = 15;      // the repeat fault's pause before the copy
    int splitGapMs = 200;      // the split fault's pause inside the answer
    int noticeRetryMs = 3000;  // an unacknowledged notice is sent again after this
    int noticeGapMs = 200;     // after an acknowledgement, the next notice waits at least this
    int idleGapMs = 20;        // the line must be quiet this long before a unit speaks unasked
    int askTimeMs = 0;         // > 0: units in exception mode ask for the time this often
    int frameTimeoutMs = 200;  // a frame still incomplete after this long without bytes is dropped
    bool strict = true;        // refuse requests whose control byte is not the prescribed one
    // The PC's clock in ms since 1970; units' clocks run from it. Default: the system clock.
    std::function<int64_t()> pcClock;
};

struct Stats {
    uint64_t framesReceived = 0;            // sound frames, whoever they were for
    uint64_t framesNotOurs = 0;             // sound frames for stations we do not play
    uint64_t crcErrors = 0;                 // frames refused for a CRC mismatch
    uint64_t incompleteFrames = 0;          // frames that never arrived whole
    uint64_t junkBytes = 0;                 // bytes skipped while looking for 05 64
    uint64_t refused = 0;                   // requests not answered (bad control byte, unknown opcode, short)
    uint64_t requests[16] = {};             // set-1 requests received, by opcode (9: acknowledgements)
    uint64_t answers[16] = {};              // answers built for set-1 requests, by opcode
    uint64_t linkResets = 0;                // link resets received
    uint64_t linkResetAnswers = 0;          // answers built for them
    uint64_t repeats = 0;                   // fetch retries answered with the same records
    uint64_t eventsSent[kEventKinds] = {};  // records in answers that went out intact
    uint64_t noticesSent = 0;               // exception notices sent unasked (first sendings)
    uint64_t noticesRepeated = 0;           // notices sent again for want of an acknowledgement
    uint64_t acks = 0;                      // acknowledgements that matched an outstanding notice
    uint64_t ackMismatches = 0;             // acknowledgements of nothing, or with another class byte
    uint64_t linkResetsSent = 0;            // link resets sent to the host
    uint64_t linkResetReplies = 0;          // the host's replies to them
    uint64_t framesSentUnasked = 0;         // frames and byte runs sent by command
    uint64_t faults[kFaultKinds] = {};      // faults committed, by kind
    uint64_t noisyNotices = 0;              // unasked notices sent behind stray bytes
    uint64_t eventsLost = 0;                // records dropped from full queues (not reset by ResetStats)
    uint64_t clients = 0;                   // network clients served
    uint64_t radioLost[3] = {};             // host bytes lost on the radio, by RadioLoss
    uint64_t radioCollisions = 0;           // unit transmissions garbled by the host keying up
};
// The statistics as lines of text, the way `stats` prints them.
std::string FormatStats(const Stats& stats);

// The longest line of a register map, a scenario or standard input's
// commands. A longer one is refused (a scenario or map stops there, a
// command line is dropped), so that input without line ends, such as a
// device, cannot fill memory.
constexpr size_t kCommandLineMax = 65536;

// Reads the next line of in (without its LF) into *line; false at the end
// of in. Reads no further than kCommandLineMax characters into a line: a
// line that goes on sets *tooLong with those characters in *line.
bool ReadTextLine(std::istream& in, std::string* line, bool* tooLong);

// A number in a command or a file (decimal or 0x hex) from low to high.
bool ParseNumber(const std::string& word, int64_t low, int64_t high, int64_t* value);
// A register value: 0 to 0xFFFFFFFF, or a negative 32-bit number.
bool ParseValue(const std::string& word, uint32_t* value);

// Reads a register map: lines of "register value [name]" (decimal or 0x
// hex, values may be negative; the name, for kivpoll, is passed over), #
// starts a comment. false with *error naming the line.
bool LoadRegisterMap(const std::string& path, std::vector<std::pair<uint16_t, uint32_t>>* entries, std::string* error);

// The control commands, one a line, as `help` prints them.
const char* CommandHelp();
// True when verb names a control command (what a scenario line may begin with).
bool IsCommand(const std::string& verb);

// Reads a scenario (name is its file, for messages): its lines as they
// stand, each a command, blank or a comment. false with *error
// ("NAME:LINE: why") at the first line that is no command or too long.
bool ReadScenario(std::istream& in, const std::string& name, std::vector<std::string>* lines, std::string* error);

// Cuts what standard input delivers, in pieces of any size, into command
// lines. A line longer than kCommandLineMax is dropped whole (up to its LF)
// and reported as such, in its place among the lines.
class CommandFeed {
public:
    void Feed(const char* bytes, size_t count);
    // The next whole line, without its LF: true with it (or with *tooLong
    // set and no text for a dropped one), false when no line is whole yet.
    bool Next(std::string* line, bool* tooLong);

private:
    std::string partial_;   // the line being received
    bool dropping_ = false;  // inside a line found too long, up to its LF
    std::deque<std::pair<std::string, bool>> lines_;  // whole lines (text, too long)
};

class Simulator {
public:
    explicit Simulator(Options options = Options());
    ~Simulator();  // stops the service thread and closes the line
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Adds a unit with this station number that reports to host address
    // host. false when the station is played already.
    bool AddStation(uint16_t station, uint16_t host = 0);
    std::vector<uint16_t> Stations() const;
    bool HasStation(uint16_t station) const;

    // Opens the line (if not open) and starts the service thread. false with
    // Error() when the line cannot be opened.
    bool Start();
    // Stops the service thread; the line stays open until destruction.
    void Stop();
    std::string Error() const;
    // The path the driver should open: the pseudo-terminal's slave or the
    // device; on the network the address ("rfc2217://127.0.0.1:4001").
    std::string LinePath() const;
    // On the network: the addresses listened on, as bound ("127.0.0.1:4001",
    // "[::1]:4001"); empty on a pseudo-terminal or a device.
    std::vector<std::string> ListenAddresses() const;

    // Runs f on a unit's state under the simulator's lock. false when the
    // station is not played.
    bool WithStation(uint16_t station, const std::function<void(Station&)>& f);
    // Runs f on a unit's state to read it, under the lock but without waking
    // the service thread. false when the station is not played.
    bool ReadStation(uint16_t station, const std::function<void(const Station&)>& f) const;

    // Convenience over WithStation; false for a station not played.
    bool SetRegister(uint16_t station, uint16_t address, uint32_t value);
    uint32_t RegisterValue(uint16_t station, uint16_t address);
    // Set the register (or point) and queue the event; the unit's clock
    // stamps status and logged events. Logged events need address < 4096.
    bool QueueRegisterChange(uint16_t station, uint16_t address, uint32_t value);
    bool QueueStatusEvent(uint16_t station, uint16_t point, bool state);
    bool QueueLoggedEvent(uint16_t station, uint16_t address, uint32_t value);
    size_t Pending(uint16_t station, EventKind kind);
    bool SetExceptionMode(uint16_t station, bool on);
    // The unit asks for the time with its next notice (class bit 3).
    bool AskTime(uint16_t station);

    // The plant: generators per station, run while the plant is on.
    bool AddGenerator(uint16_t station, const Generator& generator);
    bool ClearPlant(uint16_t station);
    void SetPlantRunning(bool on);
    std::string DescribePlant() const;

    // Frames a unit sends unasked; they go out in order when the line is quiet.
    // A notice with classes < 0 names what waits at the moment it goes out.
    bool SendNotice(uint16_t station, int classes = -1);
    bool SendLinkReset(uint16_t station);
    void SendMessage(const std::vector<uint8_t>& message);  // length byte first; framed
    void SendRaw(const std::vector<uint8_t>& bytes);        // as they are

    // Faults in the answers to requests.
    void InjectFault(FaultKind kind, int count = 1);
    void SetFaultProbability(FaultKind kind, double probability);
    void ClearFaults();
    void SetFaultSeed(uint64_t seed);
    void SetDelay(int milliseconds);
    std::string DescribeFaults() const;
    FaultSettings GetFaultSettings() const;

    // The network line as the client set it; false when kivsim serves no
    // network line or no client is connected.
    bool NetLineState(ComPortState* state) const;
    // On the radio: hold a carrier up at the host (as another station or
    // noise would), or let it go.
    void SetForcedCarrier(bool on);
    // On the radio: its settings, the changes of key-up and carrier after
    // seq (oldest first, the last 1024 kept) and the state now. false
    // without a radio.
    bool RadioChanges(uint64_t after, RadioSettings* settings, std::vector<RadioChange>* changes,
                      RadioChange* now) const;
    std::string DescribeNetLine() const;

    Stats GetStats() const;
    void ResetStats();

    // Trace of every frame both ways, one line each, to sink (from the
    // service thread). Off until a sink is given; SetTracing pauses it.
    void SetTraceSink(std::function<void(const std::string&)> sink);
    void SetTracing(bool on);
    // Every run of bytes that crossed the line, both ways, as the trace cuts
    // them (frames, junk, incomplete frames), with its time by the wall clock
    // and its direction (kivtools::kCaptureToUnit or kCaptureToHost); not
    // paused by SetTracing.
    using CaptureSink = std::function<void(int64_t wallUs, uint8_t direction, const uint8_t* bytes, size_t count)>;
    void SetCaptureSink(CaptureSink sink);

    // Runs one control command (the language of `kivsim --help`) and returns
    // what it prints; errors start with "error: ".
    std::string Execute(const std::string& command);
    // Set by the quit command (and RequestQuit); kivsim's main loop ends then.
    bool QuitRequested() const;
    void RequestQuit();
    // The PC's clock the units run from, ms since 1970.
    int64_t PcNow() const;

    // Waits until nothing unasked is left to send and no answer is on its
    // way; true when that happened within timeoutMs.
    bool WaitQuiet(int timeoutMs);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kivsim
