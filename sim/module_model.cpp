#include <algorithm>
#include <cmath>

#include "sim/simulator_impl.h"

namespace corvell::sim {

using namespace detail;

namespace {

bool takesArguments(uint8_t letter) {
    return letter == 'g' || letter == 'd' || letter == 'e' || letter == 'f' || letter == 'w';
}

}  // namespace

void Simulator::Impl::placeAt(long registerValue) {
    const long clamped = std::clamp(registerValue, 0L, opt.mechanicalLength);
    mech = static_cast<double>(clamped);
    offset = registerValue - clamped;
    motion = Motion{};
}

double Simulator::Impl::mechAt(Clock::time_point now) const {
    const Motion& mo = motion;
    switch (mo.kind) {
    case MotionKind::None:
    case MotionKind::SpeedTest: return mech;
    default: break;
    }
    if (now >= mo.end) return mo.to;
    const double elapsed = std::chrono::duration<double>(now - mo.start).count();
    const double travelled = elapsed * opt.countsPerSecond;
    return mo.to >= mo.from ? std::min(mo.from + travelled, mo.to) : std::max(mo.from - travelled, mo.to);
}

long Simulator::Impl::registerAt(Clock::time_point now) const { return std::lround(mechAt(now)) + offset; }

double Simulator::Impl::outwardLimit(double cur) const {
    double limit = std::min<double>(static_cast<double>(opt.mechanicalLength), static_cast<double>(maxTravel - offset));
    return std::max(limit, cur);
}

void Simulator::Impl::startMotion(MotionKind kind, double target, Clock::time_point now) {
    mech = mechAt(now);
    motion.kind = kind;
    motion.from = mech;
    motion.to = target;
    motion.start = now;
    if (kind == MotionKind::SpeedTest) {
        motion.to = mech;
        motion.end = now + std::chrono::milliseconds(std::max(0, opt.speedTestMs));
    } else {
        const double seconds = std::fabs(target - mech) / opt.countsPerSecond;
        motion.end = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
}

void Simulator::Impl::stopMotion(Clock::time_point now) {
    mech = mechAt(now);
    motion = Motion{};
}

bool Simulator::Impl::movingAt(Clock::time_point now) const {
    if (motion.kind == MotionKind::None) return false;
    if (motion.kind == MotionKind::SpeedTest) return true;
    return now < motion.end;
}

bool Simulator::Impl::advance(Clock::time_point now) {
    bool queued = false;
    while (motion.kind != MotionKind::None && now >= motion.end) {
        const Clock::time_point at = motion.end;
        switch (motion.kind) {
        case MotionKind::SpeedTest: startMotion(MotionKind::HomeDrive, 0.0, at); continue;
        case MotionKind::HomeDrive:
            mech = 0;
            offset = 0;
            motion = Motion{};
            queued |= complete(at);
            break;
        case MotionKind::GoTo:
            mech = motion.to;
            motion = Motion{};
            queued |= complete(at);
            break;
        default:
            mech = motion.to;
            motion = Motion{};
            break;
        }
    }
    return queued;
}

void Simulator::Impl::applyLimits(Clock::time_point now) {
    if ((motion.kind != MotionKind::Run && motion.kind != MotionKind::GoTo) || motion.to <= motion.from) return;
    const double cur = mechAt(now);
    const double limit = outwardLimit(cur);
    if (motion.to > limit) startMotion(motion.kind, limit, now);
}

uint8_t Simulator::Impl::statusByte(Clock::time_point now) const {
    uint8_t s = 0;
    if (!movingAt(now)) s |= kStatusReady;
    if (motorFault) s |= kStatusMotorFault;
    const long reg = registerAt(now);
    if ((reg & 0xFFFF) == 0) s |= kStatusAtZero;
    if (reg >= maxTravel || mechAt(now) >= static_cast<double>(opt.mechanicalLength)) s |= kStatusAtMaximum;
    return s;
}

void Simulator::Impl::resetParser() {
    pendingLetter = 0;
    argCount = 0;
}

void Simulator::Impl::receive(const InByte& b) {
    const Clock::time_point at = b.arrival;
    advance(at);
    if (pendingLetter != 0 && at >= argDeadline) resetParser();
    receivedLog.push_back(ByteEvent{msAt(at), b.byte, msAt(b.wire), msAt(b.wire)});
    if (b.speed != baudSwitch) {
        // A UART at the wrong speed turns each byte into junk with
        // framing errors; it answers junk, never a command's reply.
        resetParser();
        if (silent) return;
        if (b.speed > baudSwitch)
            send({0x00, 0xF8}, at);
        else
            send({0xF8}, at);
        return;
    }
    if (silent) {
        resetParser();
        return;
    }
    if (pendingLetter != 0) {
        args[argCount++] = b.byte;
        argDeadline = at + std::chrono::milliseconds(kArgumentTimeoutMs);
        if (argCount == 2) {
            const uint8_t letter = pendingLetter;
            resetParser();
            execute(letter, static_cast<uint16_t>(args[0] << 8 | args[1]), at);
        }
        return;
    }
    if (takesArguments(b.byte)) {
        pendingLetter = b.byte;
        argCount = 0;
        argDeadline = at + std::chrono::milliseconds(kArgumentTimeoutMs);
        return;
    }
    execute(b.byte, 0, at);
}

void Simulator::Impl::execute(uint8_t letter, uint16_t value, Clock::time_point now) {
    if (rejectAll) {
        reply({'r'}, now);
        return;
    }
    switch (letter) {
    case 'b': reply({'b', 'j'}, now); break;
    case 't': reply({'t', statusByte(now)}, now); break;
    case 'p': {
        const long reg = registerAt(now) & 0xFFFF;
        reply({'p', static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF)}, now);
        break;
    }
    case 's':
        // Ends whatever the motor does; a go-to or homing it interrupts
        // never sends its completion byte.
        stopMotion(now);
        reply({'s'}, now);
        break;
    case 'i':
        reply({'i'}, now);
        startMotion(MotionKind::Run, 0.0, now);
        break;
    case 'o': {
        reply({'o'}, now);
        const double cur = mechAt(now);
        startMotion(MotionKind::Run, outwardLimit(cur), now);
        break;
    }
    case 'g': {
        reply({'g'}, now);
        const double cur = mechAt(now);
        const double target =
            std::clamp(static_cast<double>(static_cast<long>(value) - offset), 0.0, outwardLimit(cur));
        startMotion(MotionKind::GoTo, target, now);
        break;
    }
    case 'h':
        reply({'h'}, now);
        startMotion(MotionKind::SpeedTest, 0.0, now);
        break;
    case 'z':
        mech = mechAt(now);
        if (motion.kind != MotionKind::None) {
            motion.from = mech;
            motion.start = now;
        }
        offset = -std::lround(mech);
        applyLimits(now);
        reply({'z'}, now);
        break;
    case 'd':
    case 'e':
    case 'f':
        settings[letter - 'd'] = value;
        reply({letter}, now);
        break;
    case 'w':
        maxTravel = value;
        applyLimits(now);
        reply({'w'}, now);
        break;
    default: reply({'r'}, now); break;
    }
}

}  // namespace corvell::sim
