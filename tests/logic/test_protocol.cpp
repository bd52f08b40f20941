#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/protocol.h"

using namespace corvell;
using Lines = std::vector<std::string>;

TEST(ReplyTimeLimit, PerCommand) {
    EXPECT_EQ(reply_time_limit('b', State::Wizard), 200);
    EXPECT_EQ(reply_time_limit('i', State::Wizard), 200);  // the wizard's probe wins
    EXPECT_EQ(reply_time_limit('i', State::Idle), 7500);
    EXPECT_EQ(reply_time_limit('o', State::Idle), 7500);
    EXPECT_EQ(reply_time_limit('o', State::MoveInEcho), 7500);
    EXPECT_EQ(reply_time_limit('b', State::Idle), 1500);
    EXPECT_EQ(reply_time_limit('t', State::Idle), 1500);
    EXPECT_EQ(reply_time_limit('p', State::MoveInEcho), 1500);
    EXPECT_EQ(reply_time_limit('g', State::GoToEcho), 1500);
    EXPECT_EQ(reply_time_limit('h', State::Idle), 1500);
}

TEST(StatusLines, Table) {
    const struct {
        uint8_t status;
        Lines lines;
    } cases[] = {
        {0x00, {"OK"}},
        {0x01, {"OK"}},
        {0x02, {"Serial Frame Error"}},
        {0x04, {"Serial Overrun Error"}},
        {0x08, {"Motor or Encoder Error", "Please retry the command"}},
        {0x40, {"Focuser at Zero Position"}},
        {0x41, {"Focuser at Zero Position"}},
        {0x81, {"Focuser at Maximum Position"}},
        {0x48, {"Motor or Encoder Error", "Please retry the command", "Focuser at Zero Position"}},
        {0xFF,
         {"Serial Frame Error", "Serial Overrun Error", "Motor or Encoder Error", "Please retry the command",
          "Focuser at Zero Position", "Focuser at Maximum Position"}},
        // Bits 4 and 5 show nothing, and they are not "OK" either.
        {0x10, {}},
        {0x21, {}},
        {0x32, {"Serial Frame Error"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(status_lines(c.status), c.lines) << "status 0x" << std::hex << int(c.status);
    }
}

TEST(ReplyFrame, CollectsAcrossEventsUpToTheLength) {
    ReplyFrame frame;
    frame.reset(3);
    const uint8_t p[] = {'p'}, high[] = {0x01}, rest[] = {0x2C, 'x', 'y'};
    EXPECT_EQ(frame.store(p, 1), 1);
    EXPECT_EQ(frame.store(high, 1), 1);
    EXPECT_FALSE(frame.ready);
    EXPECT_EQ(frame.store(rest, 3), 1);  // only the missing byte is taken
    EXPECT_TRUE(frame.ready);
    EXPECT_EQ(frame.count, 3);
    EXPECT_EQ(position_from_reply(frame.buffer), 300u);
    // Once complete, later bytes are dropped until the next reset.
    const uint8_t stray[] = {0xEE, 0xEE};
    EXPECT_EQ(frame.store(stray, 2), 0);
    EXPECT_EQ(frame.buffer[0], 'p');
    EXPECT_EQ(frame.buffer[2], 0x2C);
    EXPECT_EQ(frame.count, 3);

    frame.reset(1);
    EXPECT_FALSE(frame.ready);
    EXPECT_EQ(frame.count, 0);
    const uint8_t echo[] = {'i', 't', 0x01};
    EXPECT_EQ(frame.store(echo, 3), 1);
    EXPECT_TRUE(frame.ready);
    EXPECT_EQ(frame.buffer[0], 'i');
}

TEST(ReplyFrame, NeverStoresPastThreeBytes) {
    ReplyFrame frame;
    frame.reset(0);
    EXPECT_EQ(frame.length, 1);
    frame.reset(-4);
    EXPECT_EQ(frame.length, 1);
    frame.reset(7);
    EXPECT_EQ(frame.length, 3);

    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(frame.store(bytes, 8), 3);
    EXPECT_EQ(frame.count, 3);
    EXPECT_TRUE(frame.ready);

    // Even when the public fields are set out of range directly.
    struct Guarded {
        ReplyFrame frame;
        uint8_t after[16];
    } g{};
    for (auto& b : g.after) b = 0xA5;
    g.frame.length = 100;
    g.frame.count = 0;
    EXPECT_EQ(g.frame.store(bytes, 8), 3);
    EXPECT_EQ(g.frame.count, 3);
    g.frame.count = -5;
    g.frame.store(bytes, 8);
    for (auto b : g.after) EXPECT_EQ(b, 0xA5);

    EXPECT_EQ(frame.store(nullptr, 3), 0);
    frame.reset(2);
    EXPECT_EQ(frame.store(bytes, -1), 0);
    EXPECT_EQ(frame.store(bytes, 0), 0);
    EXPECT_FALSE(frame.ready);
}

TEST(Position, FromReply) {
    const uint8_t r300[] = {'p', 0x01, 0x2C};
    const uint8_t rMax[] = {'p', 0xFF, 0xFF};
    const uint8_t rZero[] = {'p', 0x00, 0x00};
    const uint8_t rHigh[] = {'p', 0x80, 0x00};
    EXPECT_EQ(position_from_reply(r300), 300u);
    EXPECT_EQ(position_from_reply(rMax), 65535u);
    EXPECT_EQ(position_from_reply(rZero), 0u);
    EXPECT_EQ(position_from_reply(rHigh), 32768u);  // unsigned, never negative
}

TEST(Position, SplitArgument) {
    const struct {
        unsigned long value;
        uint8_t high, low;
    } cases[] = {
        {300, 0x01, 0x2C},    {65536 + 5, 0x00, 0x05}, {65535, 0xFF, 0xFF},        {0, 0x00, 0x00},
        {0x1234, 0x12, 0x34}, {6600, 0x19, 0xC8},      {0xFFFFFFFFul, 0xFF, 0xFF},
    };
    for (const auto& c : cases) {
        uint8_t high = 0xAA, low = 0xAA;
        split_argument(c.value, high, low);
        EXPECT_EQ(high, c.high) << c.value;
        EXPECT_EQ(low, c.low) << c.value;
    }
}

TEST(StateLetters, OnlyLowerCase) {
    for (char c = 'a'; c <= 'z'; ++c) EXPECT_TRUE(is_lettered(static_cast<State>(c))) << c;
    for (char c : {'\0', 'A', 'Z', '`', '{', '0', ' ', static_cast<char>(0xE1)}) {
        EXPECT_FALSE(is_lettered(static_cast<State>(c))) << int(c);
    }
}
