// The network server's settings, kept in a small text file of their own
// ("alpaca.cfg" in the data folder) beside the program's fixed-layout files.
#pragma once
#include <cstddef>
#include <string>

#include "storage/settings_codec.h"

namespace corvell::alpaca {

struct AlpacaSettings {
    bool enabled = false;
    int httpPort = 11111;
    int discoveryPort = 32227;
    // False: answer only on this computer (127.0.0.1 and ::1). True: on every
    // network the computer is on.
    bool localNetwork = false;
    // On the local network: true answers any address; false (the default)
    // only this computer and the computers on its own subnets.
    bool allowAnyAddress = false;
    // The focuser's UniqueID for management/v1/configureddevices: made once,
    // then kept.
    std::string uniqueId;

    bool operator==(const AlpacaSettings& o) const {
        return enabled == o.enabled && httpPort == o.httpPort && discoveryPort == o.discoveryPort &&
               localNetwork == o.localNetwork && allowAnyAddress == o.allowAnyAddress && uniqueId == o.uniqueId;
    }
    bool operator!=(const AlpacaSettings& o) const { return !(*this == o); }
};

constexpr const char* kSettingsFileName = kAlpacaSettingsFileName;
// Bytes read at most from the file; the rest of a longer file is ignored.
constexpr size_t kSettingsFileLimit = 4096;

// "key=value" lines. Unknown keys, malformed lines and values out of range
// are skipped: such a key keeps its default, every other key its value.
AlpacaSettings parse_settings(const std::string& text);
std::string encode_settings(const AlpacaSettings& settings);

// A new UniqueID (a random UUID text).
std::string make_unique_id();

// Reads the file in `dataDir`; a missing or unreadable file gives the
// defaults. A missing UniqueID is made and, with `madeId`, reported so that
// the caller saves it.
AlpacaSettings load_settings(const std::string& dataDir, bool* madeId = nullptr);
// Replaces the file atomically. On failure returns false with the reason; a
// file made read-only is never replaced.
bool save_settings(const std::string& dataDir, const AlpacaSettings& settings, std::string& error);

}  // namespace corvell::alpaca
