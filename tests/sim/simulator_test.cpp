// The simulator over its own pseudo-terminal: stations sharing the line,
// faults on the wire, seeded reproducibility, notices and their
// acknowledgement, unasked frames, bad input and the control commands.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/sim/sim_client.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/wait_until.h"
#include "tools/kivsim/kivsim.h"

namespace {

using kivsim::EventKind;
using kivsim::FaultKind;
using kivsim::Simulator;
using simtest::Bytes;
using simtest::Request;
using simtest::SimClient;

constexpr int kWaitMs = 5000;  // generous: only ever reached when something is wrong

kivsim::Options FastOptions() {
    kivsim::Options options;
    options.seed = 7;
    options.delayMs = 60;
    options.lateMs = 80;
    options.splitGapMs = 40;
    options.noticeRetryMs = 150;
    options.noticeGapMs = 20;
    options.idleGapMs = 5;
    options.frameTimeoutMs = 50;
    return options;
}

class SimulatorTest : public ::testing::Test {
protected:
    void StartWith(kivsim::Options options, const std::vector<std::pair<uint16_t, uint16_t>>& stations) {
        sim_.reset(new Simulator(options));
        for (auto& s : stations) ASSERT_TRUE(sim_->AddStation(s.first, s.second));
        ASSERT_TRUE(sim_->Start()) << sim_->Error();
        EXPECT_LE(sim_->LinePath().size(), 11u);
        client_.reset(new SimClient(sim_->LinePath()));
        ASSERT_TRUE(client_->ok());
    }
    void SetUp() override { StartWith(FastOptions(), {{5, 0}}); }

    // Reads until the frame of expected arrives; returns the bytes before it.
    // Fails the test when it never comes.
    Bytes ReadUpTo(const Bytes& expectedMessage) {
        const Bytes frame = simtest::Frame(expectedMessage);
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (std::chrono::steady_clock::now() < end) {
            Bytes more = client_->Read(1, 20);
            got.insert(got.end(), more.begin(), more.end());
            if (got.size() >= frame.size() && std::equal(frame.begin(), frame.end(), got.end() - long(frame.size()))) {
                return Bytes(got.begin(), got.end() - long(frame.size()));
            }
        }
        ADD_FAILURE() << "the expected frame never came";
        return got;
    }

    // Sends a request and returns its answer, passing over the notices that
    // a unit may send meanwhile when the test runs slowly.
    Bytes AskPastNotices(const Bytes& request) {
        client_->Send(request);
        Bytes answer;
        while (client_->ReadFrame(&answer)) {
            if (answer[7] != 9) return answer;
        }
        return Bytes();
    }

    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<SimClient> client_;
};

TEST_F(SimulatorTest, EachOpcodeAnsweredThroughTheLine) {
    sim_->SetRegister(5, 40, 0x01020304);
    sim_->QueueRegisterChange(5, 9, 99);
    struct Case {
        Bytes request;
        uint8_t control;  // of the answer
        uint8_t length;
    };
    const Case cases[] = {
        {simtest::LinkReset(5, 0), 0x00, 7},
        {Request(5, 0, 1, {0, 40, 2}), 0x06, 18},
        {Request(5, 0, 3, {0, 41, 0, 0, 0, 5}), 0x00, 7},
        {Request(5, 0, 4, {0, 41, 0x81}), 0x00, 7},
        {Request(5, 0, 7, {126, 1, 2, 6, 3, 4, 5, 0, 6}), 0x00, 7},
        {Request(5, 0, 0), 0x06, 8 + 6},
        {Request(5, 0, 5, {}, true), 0x06, 8},
        {Request(5, 0, 6), 0x06, 8},
    };
    for (const Case& c : cases) {
        Bytes answer = client_->Ask(c.request);
        ASSERT_EQ(answer.size(), size_t(c.length) + 1) << "opcode " << int(c.request[7]);
        EXPECT_EQ(answer[1], c.control);
        EXPECT_EQ(simtest::Destination(answer), 0);
        EXPECT_EQ(simtest::Source(answer), 5);
        EXPECT_EQ(answer[6], c.request[6]);
        EXPECT_EQ(answer[7], c.request[7]);
    }
    EXPECT_EQ(sim_->RegisterValue(5, 41), 7u);  // written 5, then bit 1 set
    kivsim::Stats stats = sim_->GetStats();
    EXPECT_EQ(stats.linkResets, 1u);
    EXPECT_EQ(stats.requests[1], 1u);
    EXPECT_EQ(stats.answers[7], 1u);
    EXPECT_EQ(stats.eventsSent[0], 1u);
}

TEST_F(SimulatorTest, SeveralStationsShareTheLineAndAnswerOnlyTheirOwn) {
    StartWith(FastOptions(), {{5, 0}, {12, 0}, {300, 10}});
    sim_->SetRegister(5, 1, 555);
    sim_->SetRegister(12, 1, 1212);
    sim_->SetRegister(300, 1, 300300);
    struct Case {
        uint16_t station;
        uint16_t host;
        uint32_t value;
    };
    for (const Case& c : {Case{12, 0, 1212}, Case{300, 10, 300300}, Case{5, 0, 555}}) {
        // A request for a station nobody plays goes unanswered: the next
        // frame on the line is the answer to the request after it.
        client_->Send(Request(99, 0, 1, {0, 1, 1}));
        Bytes answer = client_->Ask(Request(c.station, c.host, 1, {0, 1, 1}));
        ASSERT_EQ(answer.size(), 15u);
        EXPECT_EQ(simtest::Source(answer), c.station);
        EXPECT_EQ(simtest::Destination(answer), c.host);
        EXPECT_EQ(uint32_t((answer[11] << 24) | (answer[12] << 16) | (answer[13] << 8) | answer[14]), c.value);
    }
    EXPECT_EQ(sim_->GetStats().framesNotOurs, 3u);
}

TEST_F(SimulatorTest, EveryFaultKindOnTheWire) {
    sim_->SetRegister(5, 1, 111);
    sim_->SetRegister(5, 2, 222);
    const Bytes readOne = Request(5, 0, 1, {0, 1, 1});
    const Bytes answerOne = {0x0E, 0x06, 0, 0, 0, 5, 1, 1, 0, 1, 1, 0, 0, 0, 111};
    const Bytes fetch = Request(5, 0, 0);
    const Bytes answerFetch = {0x08, 0x06, 0, 0, 0, 5, 1, 0, 0};
    const Bytes readTwo = Request(5, 0, 1, {0, 2, 1});
    const Bytes answerTwo = {0x0E, 0x06, 0, 0, 0, 5, 1, 1, 0, 2, 1, 0, 0, 0, 222};

    struct Case {
        FaultKind kind;
        std::function<void(const Bytes& got, const Bytes& normal)> check;
    };
    auto message = [](const Bytes& frame) {
        uint8_t m[kMessageBufferSize] = {};
        EXPECT_GE(frame.size(), 12u);
        EXPECT_EQ(frame.size(), FrameSizeFor(frame[2]));
        EXPECT_EQ(CheckFrameBlocks(simtest::CrcTable(), frame.data(), m), 1);
        return Bytes(m, m + frame[2] + 1);
    };
    const Case cases[] = {
        {FaultKind::Drop, [](const Bytes& got, const Bytes&) { EXPECT_TRUE(got.empty()); }},
        {FaultKind::Crc,
         [](const Bytes& got, const Bytes& normal) {
             ASSERT_EQ(got.size(), normal.size());
             int bits = 0;
             for (size_t i = 0; i < got.size(); ++i) bits += __builtin_popcount(got[i] ^ normal[i]);
             EXPECT_EQ(bits, 1);
             EXPECT_EQ(Bytes(got.begin(), got.end() - 2), Bytes(normal.begin(), normal.end() - 2));
         }},
        {FaultKind::Delay, [](const Bytes& got, const Bytes& normal) { EXPECT_EQ(got, normal); }},
        {FaultKind::WrongSource, [&](const Bytes& got, const Bytes&) { EXPECT_EQ(simtest::Source(message(got)), 6); }},
        {FaultKind::WrongDestination,
         [&](const Bytes& got, const Bytes&) { EXPECT_EQ(simtest::Destination(message(got)), 1); }},
        {FaultKind::Notice,
         [&](const Bytes& got, const Bytes&) {
             Bytes m = message(got);
             EXPECT_EQ(m, (Bytes{9, 0x53, 0, 0, 0, 5, 1, 9, 0, 1}));
         }},
        {FaultKind::NoticeFirst,
         [&](const Bytes& got, const Bytes& normal) {
             ASSERT_GT(got.size(), normal.size());
             Bytes notice(got.begin(), got.end() - long(normal.size()));
             EXPECT_EQ(message(notice)[7], 9);
             EXPECT_EQ(Bytes(got.end() - long(normal.size()), got.end()), normal);
         }},
        {FaultKind::Garbage,
         [](const Bytes& got, const Bytes&) {
             EXPECT_GE(got.size(), 1u);
             EXPECT_LE(got.size(), 24u);
             EXPECT_NE(got[0], 0x05);
         }},
        {FaultKind::Truncate,
         [](const Bytes& got, const Bytes& normal) {
             EXPECT_GE(got.size(), 1u);
             EXPECT_LT(got.size(), normal.size());
             EXPECT_EQ(got, Bytes(normal.begin(), normal.begin() + long(got.size())));
         }},
        {FaultKind::MoreStuck,
         [&](const Bytes& got, const Bytes&) {
             Bytes m = message(got);
             EXPECT_EQ(m[0], 8);
             EXPECT_EQ(m[8], 1) << "the more flag although nothing waits";
         }},
        {FaultKind::Late, [](const Bytes& got, const Bytes& normal) { EXPECT_EQ(got, normal); }},
        {FaultKind::Repeat,
         [](const Bytes& got, const Bytes& normal) {
             Bytes twice = normal;
             twice.insert(twice.end(), normal.begin(), normal.end());
             EXPECT_EQ(got, twice);
         }},
        {FaultKind::Split, [](const Bytes& got, const Bytes& normal) { EXPECT_EQ(got, normal); }},
        {FaultKind::Noise,
         [](const Bytes& got, const Bytes& normal) {
             ASSERT_GT(got.size(), normal.size());
             const size_t stray = got.size() - normal.size();
             EXPECT_LE(stray, 8u);
             for (size_t i = 0; i < stray; ++i) EXPECT_NE(got[i], 0x05);
             EXPECT_EQ(Bytes(got.begin() + long(stray), got.end()), normal);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kivsim::FaultName(c.kind));
        const bool isFetch = c.kind == FaultKind::MoreStuck;
        sim_->InjectFault(c.kind);
        // A request, then another whose answer marks the end of the first's.
        client_->Send(isFetch ? fetch : readOne);
        client_->Send(readTwo);
        Bytes got = ReadUpTo(answerTwo);
        c.check(got, simtest::Frame(isFetch ? answerFetch : answerOne));
        // The fault was for one answer only: the same request is answered normally now.
        if (!isFetch) {
            EXPECT_EQ(client_->Ask(readOne), answerOne);
        }
    }
    kivsim::Stats stats = sim_->GetStats();
    for (int k = 0; k < kivsim::kFaultKinds; ++k) EXPECT_EQ(stats.faults[k], 1u) << k;
}

TEST_F(SimulatorTest, FaultsRepeatExactlyWithTheSameSeed) {
    auto run = [this](uint64_t seed) {
        kivsim::Options options = FastOptions();
        options.seed = seed;
        options.delayMs = 1;
        StartWith(options, {{5, 0}});
        sim_->SetFaultProbability(FaultKind::Drop, 0.2);
        sim_->SetFaultProbability(FaultKind::Crc, 0.2);
        sim_->SetFaultProbability(FaultKind::Garbage, 0.2);
        sim_->SetFaultProbability(FaultKind::Truncate, 0.2);
        std::mutex mutex;
        std::vector<std::string> sent;
        sim_->SetTraceSink([&](const std::string& line) {
            // Without the time, which differs from run to run.
            std::lock_guard<std::mutex> lock(mutex);
            if (line.find(" TX ") != std::string::npos) sent.push_back(line.substr(line.find(" TX ")));
        });
        for (int i = 0; i < 40; ++i) {
            client_->Send(Request(5, 0, 1, {0, uint8_t(i), 1}, i % 2));
            EXPECT_TRUE(WaitUntil([&] { return sim_->GetStats().framesReceived == uint64_t(i) + 1; }, kWaitMs));
            EXPECT_TRUE(sim_->WaitQuiet(kWaitMs));
            client_->Read(4096, 5);
        }
        sim_->Stop();
        kivsim::Stats stats = sim_->GetStats();
        int faults = 0;
        for (uint64_t f : stats.faults) faults += int(f);
        EXPECT_GT(faults, 0);
        EXPECT_LT(faults, 40);
        std::lock_guard<std::mutex> lock(mutex);
        return sent;
    };
    std::vector<std::string> first = run(12345);
    std::vector<std::string> again = run(12345);
    std::vector<std::string> other = run(54321);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
}

TEST_F(SimulatorTest, EventsCountOnlyInAnswersThatWentOutIntact) {
    for (int k = 0; k < 5; ++k) sim_->QueueRegisterChange(5, uint16_t(k), uint32_t(k));
    sim_->InjectFault(FaultKind::Crc);
    const Bytes fetch = Request(5, 0, 0);
    client_->Send(fetch);
    Bytes broken;
    EXPECT_FALSE(client_->ReadFrame(&broken));
    EXPECT_EQ(sim_->GetStats().eventsSent[0], 0u);
    // The driver's retry carries the same bytes and gets the same records.
    Bytes answer = client_->Ask(fetch);
    ASSERT_EQ(answer.size(), 9u + 5 * 6);
    EXPECT_EQ(answer[8], 0);
    // A new request finds the queue empty.
    EXPECT_EQ(client_->Ask(Request(5, 0, 0, {}, true)).size(), 9u);
    kivsim::Stats stats = sim_->GetStats();
    EXPECT_EQ(stats.eventsSent[0], 5u);
    EXPECT_EQ(stats.repeats, 1u);
}

TEST_F(SimulatorTest, NoticeIsRepeatedUntilAcknowledged) {
    StartWith(FastOptions(), {{12, 0}});
    ASSERT_TRUE(sim_->SetExceptionMode(12, true));
    const int64_t pcNow = sim_->PcNow();
    sim_->WithStation(12, [&](kivsim::Station& s) {
        s.QueueStatusEvent(3, true, pcNow);
        s.QueueRegisterChange(4, 44);
    });
    Bytes notice;
    ASSERT_TRUE(client_->ReadFrame(&notice));
    EXPECT_EQ(notice, (Bytes{9, 0x53, 0, 0, 0, 12, 1, 9, 0, 0x03}));
    // No acknowledgement: the notice comes again.
    Bytes again;
    ASSERT_TRUE(client_->ReadFrame(&again));
    EXPECT_EQ(again, notice);
    client_->Send(simtest::NoticeAck(12, 0, 0x03));
    ASSERT_TRUE(WaitUntil([&] { return sim_->GetStats().acks == 1; }, kWaitMs));
    // The driver fetches what the notice announced; an acknowledgement itself
    // is not answered, so the first frame back is the fetch's answer.
    Bytes status = AskPastNotices(Request(12, 0, 5, {}, true));
    ASSERT_EQ(status.size(), 9u + 8);
    EXPECT_EQ(status[9], 0x80);
    EXPECT_EQ(status[10], 3);
    EXPECT_EQ(AskPastNotices(Request(12, 0, 0)).size(), 9u + 6);
    // Nothing waits now; a new logged event brings a notice of its class alone.
    sim_->QueueLoggedEvent(12, 7, 70);
    Bytes next;
    ASSERT_TRUE(client_->ReadFrame(&next));
    EXPECT_EQ(next[9], 0x04);
    kivsim::Stats stats = sim_->GetStats();
    EXPECT_GE(stats.noticesRepeated, 1u);
    EXPECT_GE(stats.noticesSent, 2u);
}

TEST_F(SimulatorTest, UnitAsksForTheTimeUntilTheClockIsSet) {
    StartWith(FastOptions(), {{12, 0}});
    sim_->SetExceptionMode(12, true);
    sim_->AskTime(12);
    Bytes notice;
    ASSERT_TRUE(client_->ReadFrame(&notice));
    EXPECT_EQ(notice[9], kivsim::ClassClock);
    client_->Send(simtest::NoticeAck(12, 0, kivsim::ClassClock));
    EXPECT_EQ(AskPastNotices(Request(12, 0, 7, {126, 1, 2, 6, 3, 4, 5, 0, 6}, true)).size(), 8u);
    EXPECT_TRUE(WaitUntil([&] {
        bool wanted = true;
        sim_->WithStation(12, [&](kivsim::Station& s) { wanted = s.ClockWanted(); });
        return !wanted;
    }, kWaitMs));
}

TEST_F(SimulatorTest, UnaskedLinkResetAndFramesByCommand) {
    EXPECT_EQ(sim_->Execute("linkreset 5"), "");
    Bytes reset;
    ASSERT_TRUE(client_->ReadFrame(&reset));
    EXPECT_EQ(reset, (Bytes{7, 0x40, 0, 0, 0, 5, 0, 0}));
    // The driver's reply (PRM 0) is counted and not answered.
    client_->Send(Bytes{7, 0x80, 0, 5, 0, 0, 0, 0});
    EXPECT_EQ(client_->Ask(Request(5, 0, 1, {0, 0, 1})).size(), 15u);
    EXPECT_EQ(sim_->GetStats().linkResetReplies, 1u);

    EXPECT_EQ(sim_->Execute("send 09 53 00 00 00 05 01 09 00 02"), "");
    Bytes sent;
    ASSERT_TRUE(client_->ReadFrame(&sent));
    EXPECT_EQ(sent, (Bytes{9, 0x53, 0, 0, 0, 5, 1, 9, 0, 2}));
    EXPECT_EQ(sim_->Execute("raw 01 02 0304"), "");
    EXPECT_EQ(client_->Read(4, kWaitMs), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(sim_->Execute("notice 5 0x13"), "");
    Bytes notice;
    ASSERT_TRUE(client_->ReadFrame(&notice));
    EXPECT_EQ(notice[9], 0x13);
}

TEST_F(SimulatorTest, JunkBadCrcAndIncompleteFramesAreSkipped) {
    Bytes bad = simtest::Frame(Request(5, 0, 1, {0, 0, 1}));
    bad[bad.size() - 1] ^= 1;
    Bytes input = {0x00, 0xFF, 0x05, 0x65, 0x64};
    input.insert(input.end(), bad.begin(), bad.end());
    client_->SendBytes(input);
    EXPECT_EQ(client_->Ask(Request(5, 0, 1, {0, 0, 2})).size(), 19u);
    // A frame cut short is dropped once the line stays quiet.
    Bytes cut = simtest::Frame(Request(5, 0, 1, {0, 0, 1}));
    cut.resize(6);
    client_->SendBytes(cut);
    ASSERT_TRUE(WaitUntil([&] { return sim_->GetStats().incompleteFrames == 1; }, kWaitMs));
    EXPECT_EQ(client_->Ask(Request(5, 0, 1, {0, 0, 1})).size(), 15u);
    kivsim::Stats stats = sim_->GetStats();
    EXPECT_EQ(stats.junkBytes, 5u);
    EXPECT_EQ(stats.crcErrors, 1u);
    EXPECT_EQ(stats.framesReceived, 2u);
}

TEST_F(SimulatorTest, StrictModeLeavesWrongRequestsUnanswered) {
    Bytes wrong = Request(5, 0, 1, {0, 0, 1});
    wrong[1] = 0x5F;  // DIR 0 although station 5 is above host 0
    client_->Send(wrong);
    EXPECT_EQ(client_->Ask(Request(5, 0, 1, {0, 0, 2})).size(), 19u);
    EXPECT_EQ(sim_->GetStats().refused, 1u);
}

TEST_F(SimulatorTest, PacingMakesEveryByteTakeItsTime) {
    kivsim::Options options = FastOptions();
    options.paceBaud = 9600;
    StartWith(options, {{5, 0}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client_->Ask(Request(5, 0, 1, {0, 0, 1})).size(), 15u);
    const auto took = std::chrono::steady_clock::now() - start;
    // 15 bytes in, 19 out, 10 bits each at 9600 baud: at least 35 ms.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 35);
}

TEST_F(SimulatorTest, ControlCommands) {
    const std::string map = ::testing::TempDir() + "kivsim_map.txt";
    ASSERT_TRUE(WriteBytesFile(map, "# a unit's registers\n100 1234\n0x65 0xFF  # hex\n\n102 -2\n"));
    struct Case {
        std::string command;
        std::string output;  // exact, or the start of an error
    };
    const Case cases[] = {
        {"load 5 " + map, "3 registers loaded\n"},
        {"reg 5 100", "1234 (0x4d2)\n"},
        {"reg 5 101", "255 (0xff)\n"},
        {"reg 5 102", "-2 (0xfffffffe)\n"},
        {"reg 5 7 -1", ""},
        {"regs 5 6 2", "6 0\n7 -1\n"},
        {"point 5 8191 1", ""},
        {"point 5 8191", "1\n"},
        {"events 5 change 3 10", ""},
        {"toggle 5 4", ""},
        {"log 5 4095 9", ""},
        {"pending 5", "station 5: register changes 3, status events 1, logged events 1\n"},
        {"clear 5", ""},
        {"pending", "station 5: register changes 0, status events 0, logged events 0\n"},
        {"fault drop=0.25", ""},
        {"fault crc 2", ""},
        {"faults", "drop=0.25; next answers: crc crc (delay 60 ms)\n"},
        {"fault off", ""},
        {"faults", "none (delay 60 ms)\n"},
        {"  # only a comment", ""},
        {"reg 6 1", "error: no station 6"},
        {"log 5 4096 1", "error: usage: log S R V"},
        {"fault wobble", "error: unknown fault wobble"},
        {"fault drop=2", "error: probability"},
        {"bogus", "error: unknown command bogus"},
        {"load 5 /nonexistent/map", "error: /nonexistent/map: cannot open"},
        // A file without line ends is refused at the bound, not read for ever.
        {"load 5 /dev/zero", "error: /dev/zero:1: line longer than 65536 characters"},
        // Unit time stamps carry the years 1900 to 2155; the clock runs from 1970.
        {"clock 5 2156-01-01 00:00:00", "error: date out of range (1970 to 2155)"},
        {"clock 5 -2147483648-01-01 00:00:00", "error: date out of range"},
        {"clock 5 2155-12-31 23:59:59", ""},
    };
    for (const Case& c : cases) {
        std::string out = sim_->Execute(c.command);
        if (c.output.compare(0, 7, "error: ") == 0) {
            EXPECT_EQ(out.compare(0, c.output.size(), c.output), 0) << c.command << " -> " << out;
        } else {
            EXPECT_EQ(out, c.output) << c.command;
        }
    }
    ASSERT_TRUE(WriteBytesFile(map, "1 2\n3\n"));
    EXPECT_EQ(sim_->Execute("load all " + map).compare(0, 7, "error: "), 0);
    EXPECT_NE(sim_->Execute("load all " + map).find(":2:"), std::string::npos) << "names the bad line";
    EXPECT_FALSE(sim_->QuitRequested());
    sim_->Execute("quit");
    EXPECT_TRUE(sim_->QuitRequested());
    std::remove(map.c_str());
}

}  // namespace
