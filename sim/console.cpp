#include "sim/console.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace corvell::sim {

namespace {

bool parseOnOff(const std::string& word, bool& value) {
    if (word == "on") {
        value = true;
        return true;
    }
    if (word == "off") {
        value = false;
        return true;
    }
    return false;
}

bool parseUpDown(const std::string& word, bool& down) {
    if (word == "down") {
        down = true;
        return true;
    }
    if (word == "up") {
        down = false;
        return true;
    }
    return false;
}

bool parseLong(const std::string& word, long& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(word.c_str(), &end, 10);
    if (errno != 0 || end == word.c_str() || *end != '\0') return false;
    value = v;
    return true;
}

// Hex bytes, either as separate words ("62 6a") or run together ("626a"),
// with or without a 0x prefix.
bool parseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>& bytes) {
    std::string digits;
    for (std::string w : words) {
        if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) w = w.substr(2);
        if (w.size() % 2 != 0) w = "0" + w;
        digits += w;
    }
    if (digits.empty()) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = digits.substr(i, 2);
        const long v = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') return false;
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

}  // namespace

std::string controlLineHelp() {
    return "Control lines on standard input:\n"
           "  in down|up          hold or release the module's In button\n"
           "  out down|up         hold or release the module's Out button\n"
           "  baud 9600|2400      set the module's baud switch\n"
           "  silent on|off       answer nothing\n"
           "  reject on|off       answer 'r' to every command\n"
           "  wrongecho on|off    echo 'x' instead of the command letter\n"
           "  noise HEXBYTES...   write these bytes to the line now\n"
           "  processing MS       answer MS milliseconds after a command arrived (default 2)\n"
           "  delay MS            send every reply MS milliseconds later still\n"
           "  partial on|off      send only the first byte of longer replies\n"
           "  nocompletion on|off never send the completion byte 'c'\n"
           "  fault on|off        motor or encoder fault (status bit 3)\n"
           "  position N          put the focuser at N counts\n"
           "  status              print position, motion, maximum travel, line speed\n"
           "  received            print the bytes the program sent, in hex\n"
           "  clear               forget the bytes sent and received so far\n"
           "  hangup              close the line, as an unplugged adapter\n"
           "  quit                end the simulator\n";
}

ConsoleResult runControlLine(Simulator& sim, const std::string& line, std::ostream& out) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty() || words[0][0] == '#') return ConsoleResult::Ok;

    const std::string& cmd = words[0];
    const std::string arg = words.size() > 1 ? words[1] : std::string();
    auto error = [&](const std::string& what) {
        out << "error: " << what << ": " << line << std::endl;
        return ConsoleResult::Error;
    };
    bool flag = false;

    if (cmd == "in" || cmd == "out") {
        if (words.size() != 2 || !parseUpDown(arg, flag)) return error("expected down or up");
        sim.pressButton(cmd == "in" ? Button::In : Button::Out, flag);
    } else if (cmd == "baud") {
        if (words.size() != 2 || (arg != "9600" && arg != "2400")) return error("expected 9600 or 2400");
        sim.setBaudSwitch(std::atoi(arg.c_str()));
    } else if (cmd == "silent" || cmd == "reject" || cmd == "wrongecho" || cmd == "partial" || cmd == "nocompletion" ||
               cmd == "fault") {
        if (words.size() != 2 || !parseOnOff(arg, flag)) return error("expected on or off");
        if (cmd == "silent")
            sim.setSilent(flag);
        else if (cmd == "reject")
            sim.setRejectAll(flag);
        else if (cmd == "wrongecho")
            sim.setWrongEcho(flag);
        else if (cmd == "partial")
            sim.setPartialReplies(flag);
        else if (cmd == "nocompletion")
            sim.setSuppressCompletion(flag);
        else
            sim.setMotorFault(flag);
    } else if (cmd == "noise") {
        std::vector<uint8_t> bytes;
        if (!parseHexBytes({words.begin() + 1, words.end()}, bytes)) return error("expected hex bytes");
        sim.sendNoise(bytes);
    } else if (cmd == "delay" || cmd == "processing") {
        long ms = 0;
        if (words.size() != 2 || !parseLong(arg, ms) || ms < 0 || ms > 600000) return error("expected milliseconds");
        if (cmd == "delay")
            sim.setReplyDelayMs(static_cast<int>(ms));
        else
            sim.setProcessingDelayMs(static_cast<int>(ms));
    } else if (cmd == "position") {
        long n = 0;
        if (words.size() != 2 || !parseLong(arg, n) || n < 0 || n > 65535) return error("expected a count 0..65535");
        sim.setPosition(n);
    } else if (cmd == "status") {
        out << "position " << sim.position() << " moving " << (sim.moving() ? "yes" : "no") << " maxtravel "
            << sim.maxTravel() << " linebaud " << sim.lineBaud() << std::endl;
    } else if (cmd == "received") {
        static const char digits[] = "0123456789abcdef";
        std::string text = "received";
        for (uint8_t b : sim.receivedBytes()) {
            text += ' ';
            text += digits[b >> 4];
            text += digits[b & 0x0f];
        }
        out << text << std::endl;
    } else if (cmd == "clear") {
        sim.clearTranscript();
    } else if (cmd == "hangup") {
        sim.hangUp();
    } else if (cmd == "help") {
        out << controlLineHelp() << std::flush;
    } else if (cmd == "quit") {
        return ConsoleResult::Quit;
    } else {
        return error("unknown control line");
    }
    return ConsoleResult::Ok;
}

}  // namespace corvell::sim
