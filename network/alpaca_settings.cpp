#include "network/alpaca_settings.h"

#include <QUuid>
#include <algorithm>

#include "network/alpaca_router.h"
#include "storage/file_store.h"

namespace corvell::alpaca {

namespace {

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// The blank- or comma-separated words of a value.
std::vector<std::string> parse_form_words(const std::string& value) {
    std::vector<std::string> words;
    std::string word;
    for (char c : value + " ") {
        if (c == ' ' || c == ',' || c == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

bool valid_unique_id(const std::string& id) {
    if (id.empty() || id.size() > 64) return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-')) return false;
    return true;
}

bool valid_label(const std::string& label) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (char c : label)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '-')) return false;
    return true;
}

}  // namespace

std::string read_host_names(const std::string& text, std::vector<std::string>& names) {
    std::vector<std::string> read;
    std::string name;
    for (size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        if (c != ' ' && c != ',' && c != '\t') {
            name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            continue;
        }
        if (name.empty()) continue;
        if (!name.empty() && name.back() == '.') name.pop_back();
        bool valid = !name.empty() && name.size() <= 253;
        for (size_t start = 0; valid && start <= name.size();) {
            const size_t dot = std::min(name.find('.', start), name.size());
            valid = valid_label(name.substr(start, dot - start));
            start = dot + 1;
        }
        if (!valid) return "'" + name + "' is not a host name (letters, digits and '-', with dots between)";
        if (std::find(read.begin(), read.end(), name) == read.end()) read.push_back(name);
        name.clear();
    }
    if (read.size() > kMostHostNames) return "At most " + std::to_string(kMostHostNames) + " host names can be given";
    names = read;
    return {};
}

std::string host_names_text(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : " ") + n;
    return text;
}

AlpacaSettings parse_settings(const std::string& text) {
    AlpacaSettings s;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = trim(text.substr(start, end - start));
        start = end + 1;
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        long long n = 0;
        if (key == "enabled" && (value == "0" || value == "1")) {
            s.enabled = value == "1";
        } else if (key == "http_port" && parse_integer(value, 1, 65535, n)) {
            s.httpPort = static_cast<int>(n);
        } else if (key == "discovery_port" && parse_integer(value, 1, 65535, n)) {
            s.discoveryPort = static_cast<int>(n);
        } else if (key == "answer_on" && (value == "this-computer" || value == "local-network")) {
            s.localNetwork = value == "local-network";
        } else if (key == "answer_any_address" && (value == "0" || value == "1")) {
            s.allowAnyAddress = value == "1";
        } else if (key == "host_names") {
            // The names that are names; a name mistyped in the file is left out.
            for (const std::string& one : parse_form_words(value)) {
                std::vector<std::string> name;
                if (read_host_names(one, name).empty() && !name.empty() && s.hostNames.size() < kMostHostNames &&
                    std::find(s.hostNames.begin(), s.hostNames.end(), name[0]) == s.hostNames.end())
                    s.hostNames.push_back(name[0]);
            }
        } else if (key == "unique_id" && valid_unique_id(value)) {
            s.uniqueId = value;
        }
    }
    return s;
}

std::string encode_settings(const AlpacaSettings& s) {
    return "# ASCOM Alpaca server of the focuser program\n"
           "enabled=" +
           std::string(s.enabled ? "1" : "0") + "\n" + "http_port=" + std::to_string(s.httpPort) + "\n" +
           "discovery_port=" + std::to_string(s.discoveryPort) + "\n" +
           "answer_on=" + (s.localNetwork ? "local-network" : "this-computer") + "\n" +
           "answer_any_address=" + (s.allowAnyAddress ? "1" : "0") + "\n" +
           "host_names=" + host_names_text(s.hostNames) + "\n" + "unique_id=" + s.uniqueId + "\n";
}

std::string make_unique_id() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString(); }

static std::string settings_path(const std::string& dataDir) {
    return (dataDir.empty() ? std::string(".") : dataDir) + "/" + kSettingsFileName;
}

AlpacaSettings load_settings(const std::string& dataDir, bool* madeId) {
    AlpacaSettings s = parse_settings(read_file_head(settings_path(dataDir), kSettingsFileLimit).value_or(""));
    if (madeId) *madeId = false;
    if (s.uniqueId.empty()) {
        s.uniqueId = make_unique_id();
        if (madeId) *madeId = true;
    }
    return s;
}

// The same atomic save as the profiles': read-only files kept, links saved
// through, a temporary in the same folder renamed over the old file.
bool save_settings(const std::string& dataDir, const AlpacaSettings& settings, std::string& error) {
    return save_file_atomically(settings_path(dataDir), encode_settings(settings), error);
}

}  // namespace corvell::alpaca
