// Fuzz target: the driver's network line (platform/posix_network) on one end
// of a socket pair, the input playing the device server on the other: its
// stream arrives in pieces while the line reads, then the server closes.
// The first byte picks raw TCP or RFC 2217 (bit 0) and the piece size; the
// second how many of the stream's bytes the host writes to the server too.
//   - The host reads exactly the data the stream carries: on raw TCP every
//     byte, on RFC 2217 what the decoder makes of it (IAC IAC unescaped,
//     option talk and subnegotiations taken out), nothing lost in the ring
//     however the pieces fall, and only then the end of the connection.
//   - The modem state is the last one the server sent.
//   - The server receives the host's data (escaped on RFC 2217) and,
//     around it, only whole answers to its verbs, no more bytes of them
//     than it sent; an over-long subnegotiation is logged once.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/basics.h"
#include "platform/posix_network.h"
#include "tavlib/tavlib_control.h"

namespace {

using Bytes = std::vector<uint8_t>;

int overlongLogged = 0;

void TAVLIB_CDECL CountLog(int32_t, const char* text, void*) {
    if (std::strstr(text, "overlong subnegotiation") != nullptr) ++overlongLogged;
}

// Reads what the line has for the host until it has nothing more now;
// false once the connection has ended.
bool ReadAll(NetLine* line, Bytes* into) {
    uint8_t buffer[1500];
    for (;;) {
        const long n = NetRead(line, buffer, sizeof buffer);
        if (n > 0) {
            into->insert(into->end(), buffer, buffer + n);
            continue;
        }
        fuzzing::Check(n == -1 && (errno == EAGAIN || errno == ECONNRESET), "a read fails only with EAGAIN or ECONNRESET");
        return errno == EAGAIN;
    }
}

// Everything the server's end holds now.
void Drain(int fd, Bytes* into) {
    uint8_t buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) into->insert(into->end(), buffer, buffer + n);
}

// What the host should read of the server's stream, the modem state the
// server reports last and how many bytes its verbs take.
struct Expected {
    Bytes data;
    uint8_t modem = 0;
    size_t serverVerbBytes = 0;
};

Expected ExpectedOf(const Bytes& stream, bool telnet) {
    Expected expected;
    if (!telnet) {
        expected.data = stream;
        return expected;
    }
    TelnetDecoder decoder;
    for (uint8_t byte : stream) {
        const TelnetEvent e = TelnetDecodeByte(&decoder, byte);
        if (e.kind == TelnetData) expected.data.push_back(e.data);
        if (e.kind == TelnetVerb) expected.serverVerbBytes += 3;
        if (e.kind == TelnetSub && e.option == kOptionComPort &&
            e.command == ComNotifyModemState + kComServerOffset && e.valueLength >= 1)
            expected.modem = e.value[0];
    }
    return expected;
}

// The host writes its data first; then the stream arrives in pieces, the
// host reading after each. Returns what the host read before the server
// closed; what reached the server goes to *atServer.
Bytes Exchange(NetLine* line, int server, const Bytes& hostData, const Bytes& stream, size_t piece,
               Bytes* atServer) {
    Bytes read;
    for (size_t at = 0; at < hostData.size();) {
        const long n = NetWrite(line, hostData.data() + at, hostData.size() - at);
        fuzzing::Check(n > 0, "a write to an empty socket takes bytes");
        at += static_cast<size_t>(n);
    }
    for (size_t at = 0; at < stream.size(); at += piece) {
        const size_t count = std::min(piece, stream.size() - at);
        if (send(server, stream.data() + at, count, MSG_NOSIGNAL) != static_cast<ssize_t>(count))
            fuzzing::Fail("the server's piece did not go whole");
        fuzzing::Check(ReadAll(line, &read), "the connection lasts while the server is there");
        Drain(server, atServer);
    }
    return read;
}

// What the server received: the host's data and answers to its verbs.
void CheckServerReceived(const Bytes& atServer, const Bytes& hostData, bool telnet, size_t serverVerbBytes) {
    if (!telnet) {
        fuzzing::Check(atServer == hostData, "the server receives the host's data as it is");
        return;
    }
    TelnetDecoder decoder;
    Bytes data;
    size_t answerBytes = 0;
    for (uint8_t byte : atServer) {
        const TelnetEvent e = TelnetDecodeByte(&decoder, byte);
        fuzzing::Check(e.kind == TelnetNothing || e.kind == TelnetData || e.kind == TelnetVerb,
                       "the server receives data and verbs only");
        if (e.kind == TelnetData) data.push_back(e.data);
        if (e.kind == TelnetVerb) answerBytes += 3;
    }
    fuzzing::Check(decoder.state == 0, "the server receives whole sequences");
    fuzzing::Check(data == hostData, "the server receives the host's data");
    fuzzing::Check(answerBytes <= serverVerbBytes, "no more answer bytes than the server's verbs");
    fuzzing::Check(overlongLogged <= 1, "an over-long subnegotiation is logged once per connection");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const bool logging = [] {
        TavSetLogToStderr(0);
        TavSetLogCallback(CountLog, nullptr);
        return true;
    }();
    (void)logging;
    const bool telnet = data[0] & 1;
    const size_t piece = 1 + (data[0] >> 1) * 37;
    const Bytes stream(data + 2, data + size);
    const Bytes hostData(stream.begin(), stream.begin() + static_cast<long>(std::min<size_t>(data[1], stream.size())));

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) fuzzing::Fail("no socket pair");
    std::unique_ptr<NetLine> line(new NetLine);
    line->kind = telnet ? NetLineRfc2217 : NetLineTcp;
    line->fd = ends[0];
    line->used = true;
    std::strcpy(line->name, "FUZZ1");
    overlongLogged = 0;

    const Expected expected = ExpectedOf(stream, telnet);
    Bytes atServer;
    Bytes read = Exchange(line.get(), ends[1], hostData, stream, piece, &atServer);
    if (telnet) {
        uint8_t bits = 0xEE;
        fuzzing::Check(NetModemState(line.get(), &bits), "the modem state is there while connected");
        fuzzing::Check(bits == expected.modem, "the modem state is the last the server sent");
    }
    shutdown(ends[1], SHUT_WR);
    while (ReadAll(line.get(), &read)) {
    }
    fuzzing::Check(read == expected.data, "the host reads the stream's data, all of it, in order");
    Drain(ends[1], &atServer);
    CheckServerReceived(atServer, hostData, telnet, expected.serverVerbBytes);
    close(ends[0]);
    close(ends[1]);
    return 0;
}
