// RFC 2217 framing and Telnet option negotiation over plain buffers.
#include "platform/telnet_com.h"

namespace {

enum DecoderState : uint8_t {
    StateData = 0,
    StateIac,        // IAC seen in data
    StateVerb,       // IAC WILL/WONT/DO/DONT seen, option next
    StateSub,        // inside IAC SB ... collecting
    StateSubIac,     // IAC seen inside a subnegotiation
    StateSkip,       // inside a subnegotiation too long to keep: dropping it
    StateSkipIac,    // IAC seen while dropping
};

// One more unescaped byte of a subnegotiation: kept, or, when the buffer is
// full, the subnegotiation is dropped (the event that says so).
TelnetEvent KeepSubByte(TelnetDecoder* d, uint8_t byte) {
    TelnetEvent event;
    if (d->subLength < sizeof d->sub) {
        d->sub[d->subLength++] = byte;
        d->state = StateSub;
        return event;
    }
    d->state = StateSkip;
    event.kind = TelnetSubDropped;
    event.option = d->sub[0];
    return event;
}

// One byte of a subnegotiation being dropped. The search for its IAC SE
// gives up at kTelnetSubSkipMax bytes: past that the stream is data again,
// whatever IAC SE may come later (alone it is an ignored command).
void SkipSubByte(TelnetDecoder* d, uint8_t byte) {
    if (d->state == StateSkipIac && byte != kTelnetIac) {
        d->state = StateData;  // IAC SE, or the tolerated IAC and another command
        return;
    }
    d->state = byte == kTelnetIac && d->state == StateSkip ? StateSkipIac : StateSkip;
    if (d->state == StateSkip && d->subSent >= kTelnetSubSkipMax) d->state = StateData;
}

}  // namespace

size_t TelnetEscape(const uint8_t* data, size_t count, uint8_t* out, size_t room, size_t* consumed) {
    size_t used = 0;
    size_t taken = 0;
    while (taken < count) {
        size_t need = data[taken] == kTelnetIac ? 2 : 1;
        if (used + need > room) break;
        out[used++] = data[taken];
        if (need == 2) out[used++] = kTelnetIac;
        ++taken;
    }
    if (consumed != nullptr) *consumed = taken;
    return used;
}

size_t TelnetOptionBytes(uint8_t verb, uint8_t option, uint8_t* out) {
    out[0] = kTelnetIac;
    out[1] = verb;
    out[2] = option;
    return 3;
}

size_t ComSubnegotiation(uint8_t command, const uint8_t* value, size_t count, uint8_t* out) {
    if (count > kComValueMax) count = kComValueMax;
    size_t used = 0;
    out[used++] = kTelnetIac;
    out[used++] = kTelnetSb;
    out[used++] = kOptionComPort;
    out[used++] = command;
    used += TelnetEscape(value, count, out + used, 2 * count, nullptr);
    out[used++] = kTelnetIac;
    out[used++] = kTelnetSe;
    return used;
}

size_t ComSubnegotiation8(uint8_t command, uint8_t value, uint8_t* out) {
    return ComSubnegotiation(command, &value, 1, out);
}

size_t ComSubnegotiation32(uint8_t command, uint32_t value, uint8_t* out) {
    const uint8_t bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    return ComSubnegotiation(command, bytes, 4, out);
}

namespace {

// The byte after IAC outside a subnegotiation.
TelnetEvent DecodeAfterIac(TelnetDecoder* d, uint8_t byte) {
    TelnetEvent event;
    d->state = StateData;
    if (byte == kTelnetIac) {
        event.kind = TelnetData;
        event.data = byte;
    } else if (byte >= kTelnetWill) {
        d->verb = byte;
        d->state = StateVerb;
    } else if (byte == kTelnetSb) {
        d->subLength = 0;
        d->subSent = 0;
        d->state = StateSub;
    } else {
        event.kind = TelnetOtherCommand;
    }
    return event;
}

// The byte after IAC inside a subnegotiation: IAC SE ends it; any other byte
// after IAC ends it as well, which is how a peer that forgot SE is tolerated.
TelnetEvent DecodeSubAfterIac(TelnetDecoder* d, uint8_t byte) {
    if (byte == kTelnetIac) return KeepSubByte(d, byte);
    TelnetEvent event;
    d->state = StateData;
    event.kind = TelnetSub;
    event.option = d->subLength > 0 ? d->sub[0] : 0;
    event.command = d->subLength > 1 ? d->sub[1] : 0;
    event.value = d->sub + 2;
    event.valueLength = d->subLength > 2 ? d->subLength - 2 : 0;
    return event;
}

}  // namespace

TelnetEvent TelnetDecodeByte(TelnetDecoder* d, uint8_t byte) {
    TelnetEvent event;
    switch (d->state) {
    case StateData:
        if (byte == kTelnetIac) {
            d->state = StateIac;
        } else {
            event.kind = TelnetData;
            event.data = byte;
        }
        return event;
    case StateIac: return DecodeAfterIac(d, byte);
    case StateVerb:
        d->state = StateData;
        event.kind = TelnetVerb;
        event.verb = d->verb;
        event.option = byte;
        return event;
    case StateSub:
        ++d->subSent;
        if (byte != kTelnetIac) return KeepSubByte(d, byte);
        d->state = StateSubIac;
        return event;
    case StateSubIac:
        ++d->subSent;
        return DecodeSubAfterIac(d, byte);
    case StateSkip:
    case StateSkipIac:
        ++d->subSent;
        SkipSubByte(d, byte);
        return event;
    default:
        d->state = StateData;
        return event;
    }
}

size_t TelnetAnswerVerb(TelnetOptions* o, uint8_t verb, uint8_t option, uint64_t weWill, uint64_t weDo,
                        uint8_t* out) {
    const uint64_t bit = OptionBit(option);
    switch (verb) {
    case kTelnetWill:
        if (!(weDo & bit)) {
            o->askedTheirs &= ~bit;
            return TelnetOptionBytes(kTelnetDont, option, out);
        }
        if (o->theirs & bit) return 0;
        o->theirs |= bit;
        if (o->askedTheirs & bit) {
            o->askedTheirs &= ~bit;
            return 0;
        }
        return TelnetOptionBytes(kTelnetDo, option, out);
    case kTelnetWont:
        o->askedTheirs &= ~bit;
        if (!(o->theirs & bit)) return 0;
        o->theirs &= ~bit;
        return TelnetOptionBytes(kTelnetDont, option, out);
    case kTelnetDo:
        if (!(weWill & bit)) {
            o->askedOurs &= ~bit;
            return TelnetOptionBytes(kTelnetWont, option, out);
        }
        if (o->ours & bit) return 0;
        o->ours |= bit;
        if (o->askedOurs & bit) {
            o->askedOurs &= ~bit;
            return 0;
        }
        return TelnetOptionBytes(kTelnetWill, option, out);
    case kTelnetDont:
        o->askedOurs &= ~bit;
        if (!(o->ours & bit)) return 0;
        o->ours &= ~bit;
        return TelnetOptionBytes(kTelnetWont, option, out);
    default:
        return 0;
    }
}

size_t TelnetAsk(TelnetOptions* o, uint8_t verb, uint8_t option, uint8_t* out) {
    const uint64_t bit = OptionBit(option);
    if (verb == kTelnetWill) {
        if (o->ours & bit) return 0;
        o->askedOurs |= bit;
    } else if (verb == kTelnetDo) {
        if (o->theirs & bit) return 0;
        o->askedTheirs |= bit;
    } else {
        return 0;
    }
    return TelnetOptionBytes(verb, option, out);
}
