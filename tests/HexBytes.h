// Byte vectors written as hex text, as the goldens write them: "35 03 19 11 01" (spaces anywhere).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

inline std::vector<uint8_t> Hex(const std::string& Text)
{
    std::string Digits;
    for (char c : Text)
        if (c != ' ') Digits += c;
    if (Digits.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits: " + Text);
    std::vector<uint8_t> Out;
    for (size_t i = 0; i < Digits.size(); i += 2)
        Out.push_back(uint8_t(std::stoul(Digits.substr(i, 2), nullptr, 16)));
    return Out;
}
