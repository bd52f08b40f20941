#include "positioning/focuser_models.h"

#include <cmath>
#include <cstdio>

namespace corvell {

namespace {
constexpr double kPi = 3.14159;  // as the tables were made

// Drawtube items of the five-length models: 2.00", 2.50", 3.00", 4.60",
// 5.75"; of the three-length model: 2.00", 3.00", 4.60".
float five_length_travel(int item) {
    switch (item) {
    case 0: return 0.8f;
    case 1: return 1.3f;
    case 3: return 3.4f;
    case 4: return 4.55f;
    default: return 1.8f;
    }
}

float three_length_travel(int item) {
    switch (item) {
    case 0: return 0.8f;
    case 2: return 3.4f;
    default: return 1.8f;
    }
}
}  // namespace

const std::vector<FocuserModel>& focuser_models() {
    static const std::vector<FocuserModel> models = {
        {"Kestin", 0.125f, 0.6f, {"2.00\""}},
        {"Lormer", 0.1875f, 0.5f, {"2.00\""}},
        {"Mavrel 1 or 2", 0.125f, kTravelByDrawtube5, {"2.00\"", "2.50\"", "3.00\"", "4.60\"", "5.75\""}},
        {"Mavrel 3", 0.1875f, kTravelByDrawtube5, {"2.00\"", "2.50\"", "3.00\"", "4.60\"", "5.75\""}},
        {"Nusset (all)", 0.1875f, kTravelByDrawtube3, {"2.00\"", "3.00\"", "4.60\""}},
        {"Prandt", 0.125f, 1.2f, {"3.00\""}},
    };
    return models;
}

const std::vector<const char*>& encoder_choices() {
    static const std::vector<const char*> choices = {"1440", "2160", "4096"};
    return choices;
}

float travel_for_drawtube(float travel, int drawtubeItem) {
    if (travel == kTravelByDrawtube5) return five_length_travel(drawtubeItem);
    if (travel == kTravelByDrawtube3) return three_length_travel(drawtubeItem);
    return travel;
}

float encoder_lines(int item) {
    if (item == 1) return 2160.0f;
    if (item == 2) return 4096.0f;
    return 1440.0f;
}

float inches_per_count_of(float rollerDiameter, float encoderLines) {
    return static_cast<float>(static_cast<double>(rollerDiameter) * kPi / static_cast<double>(encoderLines));
}

std::optional<long> travel_counts(double travelInches, float inchesPerCount) {
    if (!(inchesPerCount > 0) || !std::isfinite(inchesPerCount) || !std::isfinite(travelInches)) return std::nullopt;
    const double counts = std::floor(travelInches / static_cast<double>(inchesPerCount));
    if (!(counts >= -2147483648.0 && counts <= 2147483647.0)) return std::nullopt;
    return static_cast<long>(counts);
}

std::string default_focuser_description(int nextFileNumber) {
    if (nextFileNumber < 1 || nextFileNumber > 99999) return "Unknown focuser";
    char text[16];
    std::snprintf(text, sizeof text, "Focuser %05d", nextFileNumber);
    return text;
}

float legacy_encoder_lines(int encoderCode) {
    if (encoderCode == 1) return 2160.0f;
    if (encoderCode == 2) return 4096.0f;
    return 1440.0f;
}

float legacy_travel(int focuserCode, int variantCode) {
    switch (focuserCode) {
    case 1:
    case 2: return five_length_travel(variantCode);
    case 3: return three_length_travel(variantCode);
    case 4: return 2.5f;
    default: return 0.5f;
    }
}

}  // namespace corvell
