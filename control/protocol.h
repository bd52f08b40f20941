// The control module's command protocol: letters, reply framing, limits.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "control/letters.h"

namespace corvell {

constexpr int kPollIntervalMs = 1500;   // reply limit of most commands, idle poll period
constexpr int kMoveEchoLimitMs = 7500;  // echo of 'i' and 'o'
constexpr int kAddFocuserIdentifyMs = 200;
constexpr int kHomingLimitMs = 120000;  // completion byte of 'h'
constexpr int kReconnectDelayMs = 200;

// One command of the module: what goes on the line, what comes back, how
// long the echo may take, and the two Activity lines shown when it echoes.
struct CommandSpec {
    char letter;
    int argumentBytes;  // 0, or 2 (high byte, then low byte)
    int replyLength;    // bytes of the reply, echo included
    int replyLimitMs;   // time allowed for the reply
    const char* done1;  // Activity lines on a matching echo (null: none)
    const char* done2;
};

// The command with this letter; null for a letter that is never sent.
const CommandSpec* command_spec(char letter);

// Reply time limit for command `letter` just sent.
int reply_time_limit(char letter, State queuedCommand);

// The StatusDisplay lines of a status byte, in display order.
std::vector<std::string> status_lines(uint8_t status);

// Collects one reply of a known length. Never stores more than the expected
// length (at most 3 bytes); later bytes are dropped until the next reset.
struct ReplyFrame {
    uint8_t buffer[3] = {0, 0, 0};
    int count = 0;
    int length = 1;
    bool ready = false;
    void reset(int replyLength);
    // Stores bytes up to the expected length; returns how many were taken.
    int store(const uint8_t* data, int n);
};

// Position of a 'p' reply: byte 1 * 256 + byte 2.
unsigned position_from_reply(const uint8_t* reply);

// High then low byte of a 16-bit argument (the low 16 bits of `value`).
void split_argument(unsigned long value, uint8_t& high, uint8_t& low);

// True for 'a'..'z', the only values of activeCommand the executive handles.

}  // namespace corvell
