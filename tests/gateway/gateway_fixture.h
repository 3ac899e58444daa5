// kivsim and kivgate as the gateway's end-to-end tests run them: kivsim on a
// pseudo-terminal taking commands on its standard input, kivgate with a
// configuration file the test writes, both real programs, and the JSON the
// gateway publishes taken apart.
#pragma once

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/broker.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/wait_until.h"

namespace gatewaytest {

// Under AddressSanitizer children keep a small quarantine (several of them
// run at once on a small machine); extra: more of its options.
inline std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra = {}) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string options = std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=16";
    for (const std::string& option : extra) options += ":" + option;
    return {"ASAN_OPTIONS=" + options};
}

// kivsim playing units on a pseudo-terminal it made, its commands written
// to its standard input and their answers read from its output.
class Kivsim {
public:
    // Starts kivsim with options; true once it named its line.
    bool Start(const std::vector<std::string>& options) {
        std::vector<std::string> arguments = {KIV_KIVSIM_PATH};
        arguments.insert(arguments.end(), options.begin(), options.end());
        if (!process_.Start(arguments, ChildProcess::Errors::Discarded, "", ChildEnvironment())) return false;
        const std::string banner = process_.ReadLineWith("kivsim: line ", 10000);
        if (banner.empty()) return false;
        line_ = banner.substr(banner.rfind(' ') + 1);
        return true;
    }
    const std::string& line() const { return line_; }
    pid_t pid() const { return process_.pid(); }

    bool Command(const std::string& command) { return process_.Send(command + "\n"); }
    // A register's value as "reg S R" shows it ("125 (0x7D)"); -1 when no
    // answer came.
    long long Register(int station, int reg) {
        if (!Command("reg " + std::to_string(station) + " " + std::to_string(reg))) return -1;
        const std::string answer = process_.ReadLineWith(" (0x", 5000);
        return answer.empty() ? -1 : std::strtoll(answer.c_str(), nullptr, 10);
    }
    // Whether station has no event waiting to be fetched.
    bool NothingPending(int station) {
        if (!Command("pending " + std::to_string(station))) return false;
        const std::string answer = process_.ReadLineWith("register changes ", 5000);
        return answer.find("register changes 0, status events 0, logged events 0") != std::string::npos;
    }
    bool Quit(int limitMs = 10000) {
        int status = -1;
        Command("quit");
        return process_.WaitExit(limitMs, &status) && status == 0;
    }

private:
    ChildProcess process_;
    std::string line_;
};

// A gate of the configuration file.
struct Gate {
    const char* name;
    const char* address;
    const char* poll;  // TOML value: milliseconds or "exception"
    int count = 1;
    bool writable = false;
    double scale = 1.0;
    double offset = 0.0;
};

// A configuration file: the broker on the loopback, one channel "line1" on
// the line with the gates, report-by-exception on.
inline std::string GatewayConfig(int brokerPort, const std::string& line, const std::vector<Gate>& gates,
                                 int eventQueue = 200) {
    std::ostringstream text;
    text << "workdir = \"" << std::filesystem::current_path().string() << "\"\n\n"
         << "[broker]\nhost = \"127.0.0.1\"\nport = " << brokerPort << "\nclient_id = \"kivgate-test-" << getpid()
         << "\"\nprefix = \"kt\"\nqos = 1\nkeepalive = 5\nevent_queue = " << eventQueue << "\n\n"
         << "[[channel]]\nname = \"line1\"\nport = \"" << line << "\"\nbaud = 19200\ntimeout_ms = 200\n"
         << "host_address = 0\nexception = true\n";
    for (const Gate& gate : gates) {
        text << "\n[[channel.gate]]\nname = \"" << gate.name << "\"\naddress = \"" << gate.address
             << "\"\npoll = " << gate.poll << "\n";
        if (gate.count != 1) text << "count = " << gate.count << "\n";
        if (gate.writable) text << "writable = true\n";
        if (gate.scale != 1.0) text << "scale = " << gate.scale << "\n";
        if (gate.offset != 0.0) text << "offset = " << gate.offset << "\n";
    }
    return text.str();
}

// kivgate with a configuration file, its output and errors into files of
// the current folder.
class Kivgate {
public:
    // asanOptions: added to ASAN_OPTIONS (a sanitizer build's kivgate).
    bool Start(const std::string& configFile, const std::vector<std::string>& asanOptions = {}) {
        // A shell that becomes kivgate sends its output to a file: a pipe
        // nobody reads would stop a gateway that logs much.
        return process_.Start({"/bin/sh", "-c", "exec \"$0\" \"$@\" > kivgate.out", KIV_KIVGATE_PATH, "--config",
                               configFile, "--driver", KIV_DRIVER_PATH},
                              ChildProcess::Errors::ToFile, "kivgate.err", ChildEnvironment(asanOptions));
    }
    pid_t pid() const { return process_.pid(); }
    bool Signal(int signal) { return process_.Signal(signal); }
    // SIGTERM, then its end within limitMs: true with its exit code.
    bool Terminate(int limitMs, int* exitCode) {
        return process_.Signal(SIGTERM) && process_.WaitExit(limitMs, exitCode);
    }
    // Its end by itself within limitMs (it is killed after).
    bool WaitExit(int limitMs, int* exitCode) { return process_.pid() > 0 && process_.WaitExit(limitMs, exitCode); }
    // What it wrote, for failure messages.
    static std::string Output() {
        return "--- kivgate output:\n" + ReadBytesFile("kivgate.out") + "--- kivgate errors:\n" +
               ReadBytesFile("kivgate.err");
    }

private:
    ChildProcess process_;
};

// A payload as JSON; a discarded value when it is not JSON.
inline nlohmann::json Json(const MqttMessage& message) {
    return nlohmann::json::parse(message.payload, nullptr, false);
}

// A field of a JSON object payload; null when the payload is no object or
// has no such field.
inline nlohmann::json Field(const MqttMessage& message, const char* key) {
    const nlohmann::json payload = Json(message);
    return payload.is_object() && payload.contains(key) ? payload[key] : nlohmann::json();
}

// A gate's payload holds value (a number, or an array for a block) with
// quality (and source, when given).
inline bool HasValue(const MqttMessage& message, const nlohmann::json& value, const std::string& quality,
                     const std::string& source = "") {
    return Field(message, "value") == value && Field(message, "quality") == quality &&
           (source.empty() || Field(message, "source") == source);
}

// Whether a line of text holds every piece, in that order.
inline bool LineHolds(const std::string& line, const std::vector<std::string>& pieces) {
    size_t at = 0;
    for (const std::string& piece : pieces) {
        at = line.find(piece, at);
        if (at == std::string::npos) return false;
        at += piece.size();
    }
    return true;
}

// Whether any line of the file holds every piece in order; waits up to
// limitMs for one to come.
inline bool FileHasLine(const std::string& file, const std::vector<std::string>& pieces, int limitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        for (const std::string& line : LinesOf(ReadBytesFile(file)))
            if (LineHolds(line, pieces)) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace gatewaytest
