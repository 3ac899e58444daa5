// The channel configuration file: one small text file per channel with the
// host address, the report-by-exception switch and the radio keying times.
#include "driver/config.h"

#include <cstring>

#include "base/channel_block.h"
#include "base/log.h"
#include "host/tavrik.h"
#include "platform/files.h"

namespace {

constexpr int32_t kDefaultRadioTime = 200;  // ms, each of the three radio times

// Lines that keep fewer characters than this count at the end of the file
// only when a line feed ended them.
constexpr int kShortestLastLine = 10;

const char kNoHostAddress[] = "kivIN : Can not find Host Address";

// A channel file holds three short lines; anything larger is not one.
constexpr long kConfigFileMaxBytes = 4096;

// The longest radio keying pause: the longest the driver waits for the line
// anywhere else (busy flag, carrier). A longer pause keeps the busy flag
// beyond the time every other caller waits for it, so each of them would give
// up while one frame is keyed; no radio needs seconds to key up or turn round.
constexpr int32_t kRadioTimeMaxMs = 4000;

// True when the file may be read as a channel file; the reason is logged
// when not. Only a regular file of 1 to kConfigFileMaxBytes bytes: a device
// (a link to /dev/zero) never ends, a FIFO without a writer blocks the open
// for ever, and an empty file or a directory holds no address.
bool ChannelFileUsable(const char* name) {
    int64_t size = 0;
    const FileKind kind = FileKindOf(name, &size);
    if (kind == FileMissing) {
        DriverLog(kLogFault, "KivIN : File %s not found !", name);
        return false;
    }
    const char* why = nullptr;
    if (kind != FileRegular) {
        why = "not a regular file";
    } else if (size == 0) {
        why = "empty";
    } else if (size > kConfigFileMaxBytes) {
        why = "larger than 4096 bytes";
    }
    if (why == nullptr) return true;
    DriverLog(kLogFault, "KivIN : File %s refused: %s", name, why);
    return false;
}

// True when "ON" stands as a whole word in text: neither a letter nor a
// digit right before or after it, so "NONE" and "ONLINE" do not count.
bool HoldsWordOn(const char* text) {
    auto isWordCharacter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    };
    for (const char* at = std::strstr(text, "ON"); at != nullptr; at = std::strstr(at + 1, "ON")) {
        const bool startsWord = at == text || !isWordCharacter(at[-1]);
        if (startsWord && !isWordCharacter(at[2])) return true;
    }
    return false;
}

// Holds a parsed radio time at kRadioTimeMaxMs, with a log line naming it.
void BoundRadioTime(const char* which, int32_t* time) {
    if (*time <= kRadioTimeMaxMs) return;
    DriverLog(kLogFault, "KivIN : Radio switch %s time %d above %d ms, held at %d", which, static_cast<int>(*time),
        static_cast<int>(kRadioTimeMaxMs), static_cast<int>(kRadioTimeMaxMs));
    *time = kRadioTimeMaxMs;
}

// Reads a decimal number of at most `width` characters, a leading sign
// counting as one of them, as the C library's "%5d" conversion does on text
// without blanks: an optional sign, then at least one digit. Returns 1 with
// the value, 0 when no digit comes within the width.
int ParseBoundedDecimal(const char* text, int width, int32_t* value) {
    int used = 0;
    bool negative = false;
    if (used < width && (text[used] == '+' || text[used] == '-')) {
        negative = text[used] == '-';
        ++used;
    }
    int digits = 0;
    int32_t magnitude = 0;
    while (used < width && text[used] >= '0' && text[used] <= '9') {
        magnitude = magnitude * 10 + (text[used] - '0');
        ++used;
        ++digits;
    }
    if (digits == 0) return 0;
    *value = negative ? -magnitude : magnitude;
    return 1;
}

// Reads an optionally signed decimal number of any length at *cursor and
// moves the cursor past it. Values beyond the 32-bit range are held at its
// limits. Returns 1 with the value, 0 (cursor unmoved) without a digit.
int ParseDecimal(const char** cursor, int32_t* value) {
    const char* text = *cursor;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    if (*text < '0' || *text > '9') return 0;
    int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > INT64_C(2147483648)) magnitude = INT64_C(2147483648);
    }
    int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX) result = INT32_MAX;
    *value = static_cast<int32_t>(result);
    *cursor = text;
    return 1;
}

// Parses up to three comma-separated times into times[0..2], as "%d,%d,%d"
// would: it stops at the first number or comma that is missing. A time not
// parsed keeps its value. Returns how many were parsed.
int ParseRadioTimes(const char* text, int32_t* times[3]) {
    int parsed = 0;
    while (parsed < 3) {
        if (parsed > 0) {
            if (*text != ',') break;
            ++text;
        }
        if (!ParseDecimal(&text, times[parsed])) break;
        ++parsed;
    }
    return parsed;
}

// Who hears of each line read; function may be null.
struct ConfigObserver {
    KivConfigLineFunction function;
    void* context;
};

void Tell(const ConfigObserver& observer, int32_t line, ConfigLineRole role, const char* kept) {
    if (observer.function != nullptr) observer.function(observer.context, line, role, kept);
}

// Clears the buffer and reads the next line into it; 1 with a line.
int NextLine(FILE* file, char* line) {
    std::memset(line, 0, kConfigLineBuffer);
    return ReadConfigLine(file, line);
}

// The host address line: text, "=", a number of at most five characters.
// Returns 0 when the line has no "=" (the reading ends), else 1, with
// *found set when the number was read into the block.
int ReadHostAddressLine(ChannelBlock* block, const char* line, int* found) {
    const char* equals = std::strchr(line, '=');
    if (equals == nullptr) {
        DriverLog(kLogFault, kNoHostAddress);
        return 0;
    }
    int32_t address = 0;
    if (!ParseBoundedDecimal(equals + 1, 5, &address)) {
        DriverLog(kLogFault, kNoHostAddress);
    } else if (address < 0 || address > 0xFFFF) {
        // Station numbers are 16 bits: a wider number would silently name
        // another station.
        DriverLog(kLogFault, "KivIN : Tavrik Address %d out of range 0..65535", static_cast<int>(address));
    } else {
        const uint16_t station = static_cast<uint16_t>(address);
        DriverLog(kLogFault, "KivIN : Tavrik Address = %d", static_cast<int>(station));
        block->hostAddress[0] = static_cast<uint8_t>(station >> 8);
        block->hostAddress[1] = static_cast<uint8_t>(station);
        *found = 1;
    }
    return 1;
}

// EXCEPTION line: on when the text after its "=" holds the word "ON".
void ReadExceptionLine(ChannelBlock* block, const char* line) {
    if (std::strstr(line, "EXCEPTION") == nullptr) return;
    const char* equals = std::strchr(line, '=');
    if (equals == nullptr || !HoldsWordOn(equals + 1)) return;
    DriverLog(kLogFault, "KivIN : The Report By Exception support is ON");
    block->exceptionEnabled = 1;
}

// RADIO line: on when the text from its "=" on holds "YES"; the times follow
// the one character after "YES", whatever it is. Returns the number of times
// parsed (the next pass status), or 1 when the line turns nothing on.
int ReadRadioLine(ChannelBlock* block, const char* line) {
    if (std::strstr(line, "RADIO") == nullptr) return 1;
    const char* equals = std::strchr(line, '=');
    if (equals == nullptr) return 1;
    const char* yes = std::strstr(equals, "YES");
    if (yes == nullptr) return 1;
    DriverLog(kLogFault, "KivIN : Radio RTS switch is supported");
    block->radioEnabled = 1;
    int parsed = 0;
    // With nothing after "YES" there is no character to skip and no time.
    if (yes[3] != '\0') {
        int32_t* times[3] = {&block->radioOnTime, &block->radioOffTime, &block->radioDelayTime};
        parsed = ParseRadioTimes(yes + 4, times);
        BoundRadioTime("ON", times[0]);
        BoundRadioTime("OFF", times[1]);
        BoundRadioTime("DELAY", times[2]);
    }
    DriverLog(kLogFault, "KivIN : Radio switch ON    time = %d", static_cast<int>(block->radioOnTime));
    DriverLog(kLogFault, "KivIN : Radio switch OFF   time = %d", static_cast<int>(block->radioOffTime));
    DriverLog(kLogFault, "KivIN : Radio switch DELAY time = %d", static_cast<int>(block->radioDelayTime));
    return parsed;
}

}  // namespace

int ReadConfigLine(FILE* file, char* buffer) {
    int length = 0;
    for (;;) {
        const int byte = std::fgetc(file);
        if (byte == EOF) break;
        if (byte == '\n') {
            buffer[length] = '\0';
            return 1;
        }
        // Only printable characters above the blank count: 33 to 127.
        const signed char character = static_cast<signed char>(byte);
        if (character > ' ' && length < kConfigLineMax) buffer[length++] = static_cast<char>(character);
    }
    if (length < kShortestLastLine) return 0;
    buffer[length] = '\0';
    return 1;
}

namespace {

// Reads the file name into block: radio and report-by-exception defaults
// first, then what the file says. 1 when a host address was found.
int ReadChannelFile(ChannelBlock* block, const char* name, const ConfigObserver& observer) {
    block->exceptionEnabled = 0;
    block->radioEnabled = 0;
    block->radioOnTime = kDefaultRadioTime;
    block->radioOffTime = kDefaultRadioTime;
    block->radioDelayTime = kDefaultRadioTime;

    if (!ChannelFileUsable(name)) {
        Tell(observer, 0, ConfigFileRefused, "");
        return 0;
    }
    FILE* file = std::fopen(name, "r");
    if (file == nullptr) {
        DriverLog(kLogFault, "KivIN : File %s not found !", name);
        Tell(observer, 0, ConfigFileRefused, "");
        return 0;
    }

    // Each pass: a host address line, then an optional EXCEPTION line, then
    // an optional RADIO line. Only a radio line with exactly one time (or a
    // pass without a radio setting) lets another pass begin.
    char line[kConfigLineBuffer];
    int found = 0;
    int passStatus = 1;
    int32_t number = 0;  // lines read so far
    ConfigLineRole end = ConfigEndOfFile;
    for (;;) {
        if (passStatus != 1) {
            end = ConfigEndRadioTimes;
            break;
        }
        // The byte bound also holds for a file that grows while it is read.
        if (std::ftell(file) > kConfigFileMaxBytes) {
            end = ConfigEndByteBound;
            break;
        }
        if (!NextLine(file, line)) break;
        Tell(observer, ++number, ConfigHostAddressLine, line);
        if (!ReadHostAddressLine(block, line, &found)) {
            end = ConfigEndNoEquals;
            break;
        }
        if (!NextLine(file, line)) break;
        Tell(observer, ++number, ConfigExceptionLine, line);
        ReadExceptionLine(block, line);
        if (std::strstr(line, "RADIO") == nullptr) {
            if (!NextLine(file, line)) break;
            ++number;
        }
        Tell(observer, number, ConfigRadioLine, line);
        passStatus = ReadRadioLine(block, line);
    }
    std::fclose(file);
    Tell(observer, number, end, "");

    if (block->exceptionEnabled == 0) DriverLog(kLogFault, "KivIN : The Report By Exception support is OFF");
    return found;
}

}  // namespace

int ReadChannelConfig(int32_t channel) {
    char name[kConfigNameBuffer];
    FormatConfigFileName(channel, name);
    return ReadChannelFile(CurrentChannel(), name, ConfigObserver{nullptr, nullptr});
}

extern "C" int32_t KIV_CDECL KivConfigReport(const char* path, KivConfigLineFunction callback, void* context) {
    if (path == nullptr) return 0;
    // A block of its own, and no current channel while it is read: the log
    // of a real channel on this thread must neither hold back the report's
    // lines nor count them.
    ChannelBlock block;
    std::memset(&block, 0, sizeof block);
    ChannelBlock* const previous = CurrentChannel();
    SetCurrentChannel(nullptr);
    const int found = ReadChannelFile(&block, path, ConfigObserver{callback, context});
    SetCurrentChannel(previous);
    return found;
}

void FormatConfigFileName(int32_t channel, char* name) {
    std::snprintf(name, kConfigNameBuffer, "kivIN%.2d.int", static_cast<int>(channel));
}
