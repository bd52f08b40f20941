#include "control/protocol.h"

#include <algorithm>
#include <cstring>

namespace corvell {

namespace {
constexpr const char* kWaiting = "Waiting for command";

// Every command the program sends. The module may take a while before it
// echoes a move; a go-to and a homing echo at once and send their
// completion byte later (its limits are the executive's).
const CommandSpec kCommands[] = {
    {cmd::kIdentify, 0, 2, kPollIntervalMs, nullptr, nullptr},
    {cmd::kStatus, 0, 2, kPollIntervalMs, nullptr, nullptr},
    {cmd::kPosition, 0, 3, kPollIntervalMs, nullptr, nullptr},
    {cmd::kStop, 0, 1, kPollIntervalMs, "Stopped", kWaiting},
    {cmd::kMoveIn, 0, 1, kMoveEchoLimitMs, "Moving In", kWaiting},
    {cmd::kMoveOut, 0, 1, kMoveEchoLimitMs, "Moving Out", kWaiting},
    {cmd::kHome, 0, 1, kPollIntervalMs, "Focuser initialization in progress", "Please wait"},
    {cmd::kZero, 0, 1, kPollIntervalMs, "Position register set to zero", kWaiting},
    {cmd::kGoTo, 2, 1, kPollIntervalMs, "Go To command in progress", "Please wait"},
    {cmd::kMaxTravel, 2, 1, kPollIntervalMs, "Maximum travel value updated", kWaiting},
    {cmd::kSpeedD, 2, 1, kPollIntervalMs, nullptr, nullptr},
    {cmd::kSpeedE, 2, 1, kPollIntervalMs, nullptr, nullptr},
    {cmd::kSpeedF, 2, 1, kPollIntervalMs, nullptr, nullptr},
};
}  // namespace

const CommandSpec* command_spec(char letter) {
    for (const CommandSpec& c : kCommands)
        if (c.letter == letter) return &c;
    return nullptr;
}

int reply_time_limit(char letter, State queuedCommand) {
    // The add-focuser wizard probes for a module and must not wait long.
    if (queuedCommand == State::Wizard) return kAddFocuserIdentifyMs;
    const CommandSpec* c = command_spec(letter);
    return c ? c->replyLimitMs : kPollIntervalMs;
}

std::vector<std::string> status_lines(uint8_t status) {
    // "OK" only when nothing but the ready bit is set; bits 0, 4 and 5 carry
    // nothing for the user.
    std::vector<std::string> lines;
    if ((status & 0xFE) == 0) {
        lines.emplace_back("OK");
        return lines;
    }
    if (status & 0x02) lines.emplace_back("Serial Frame Error");
    if (status & 0x04) lines.emplace_back("Serial Overrun Error");
    if (status & 0x08) {
        lines.emplace_back("Motor or Encoder Error");
        lines.emplace_back("Please retry the command");
    }
    if (status & 0x40) lines.emplace_back("Focuser at Zero Position");
    if (status & 0x80) lines.emplace_back("Focuser at Maximum Position");
    return lines;
}

void ReplyFrame::reset(int replyLength) {
    std::memset(buffer, 0, sizeof buffer);
    count = 0;
    length = std::clamp(replyLength, 1, static_cast<int>(sizeof buffer));
    ready = false;
}

int ReplyFrame::store(const uint8_t* data, int n) {
    if (data == nullptr || n <= 0) return 0;
    // The fields are public; hold the limit to the buffer whatever they say.
    const int limit = std::clamp(length, 1, static_cast<int>(sizeof buffer));
    const int stored = std::clamp(count, 0, limit);
    const int take = std::min(n, limit - stored);
    if (take > 0) std::memcpy(buffer + stored, data, static_cast<size_t>(take));
    count = stored + std::max(take, 0);
    if (count == limit) ready = true;
    return std::max(take, 0);
}

unsigned position_from_reply(const uint8_t* reply) {
    return static_cast<unsigned>(reply[1]) * 256u + static_cast<unsigned>(reply[2]);
}

void split_argument(unsigned long value, uint8_t& high, uint8_t& low) {
    const unsigned v = static_cast<unsigned>(value & 0xFFFFu);
    high = static_cast<uint8_t>(v >> 8);
    low = static_cast<uint8_t>(v & 0xFFu);
}

}  // namespace corvell
