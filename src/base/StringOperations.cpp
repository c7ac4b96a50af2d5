#include "base/StringOperations.h"

#include "base/Console.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

static constexpr std::array<uint8_t, 256> HEX_DIGIT_VALUE = hexDigitValues();

uint8_t int_from_hex_char(char aChar) { return HEX_DIGIT_VALUE[(unsigned char)aChar]; }

uint8_t u8_from_hex_string(const char *inputString) {
    if (inputString[0] == '\0') return 0;
    if (inputString[1] == '\0') return int_from_hex_char(inputString[0]);
    return (uint8_t)(int_from_hex_char(inputString[0]) * 16 + int_from_hex_char(inputString[1]));
}

uint8_t u8_array_from_hex_string(uint8_t *outputArray, uint32_t arraySize, const char *inputString) {
    const uint16_t length = (uint16_t)std::strlen(inputString);
    if ((uint32_t)(length + 1) / 2 > arraySize) return 0;
    for (int p = length - 1; p >= 0; --p) {
        uint8_t digit = int_from_hex_char(inputString[p]);
        outputArray[p / 2] = (uint8_t)(outputArray[p / 2] + ((p % 2 == 0) ? digit << 4 : digit));
    }
    return 1;
}

char capitalizeChar(char character) {
    return (character >= 'a' && character <= 'z') ? (char)(character - 32) : character;
}

std::string lowerCase(std::string text) {
    for (char &c : text) c = (char)(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

char **str_split(char *s, const char *ct) {
    if (s == nullptr || ct == nullptr) return nullptr;
    size_t room = 1, count = 0;
    char **list = nullptr;
    char *p = s + std::strspn(s, ct); // delimiters in front stay as they are
    while (*p != '\0') {
        if (count + 1 >= room) {
            room *= 2;
            char **grown = (char **)std::realloc(list, room * sizeof(char *));
            if (grown == nullptr) {
                std::free(list);
                consoleLine("Memoire insuffisante");
                std::exit(1); // out of memory is a failure, never status 0
            }
            list = grown;
        }
        list[count++] = p;
        p += std::strcspn(p, ct);
        if (*p == '\0') break;
        *p++ = '\0';
        p += std::strspn(p, ct);
    }
    if (list == nullptr) { // no piece: an empty list, never a write through a missing one
        list = (char **)std::malloc(sizeof(char *));
        if (list == nullptr) {
            consoleLine("Memoire insuffisante");
            std::exit(1);
        }
    }
    list[count] = nullptr;
    return list;
}

size_t jsonNesting(const std::string &text) {
    size_t depth = 0, deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

bool parseDecimal(const std::string &text, long long low, long long high, int &value) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    long long v = 0;
    for (char c : text) v = v * 10 + (c - '0');
    if (v < low || v > high) return false;
    value = (int)v;
    return true;
}

std::string commandLineText(const std::vector<std::string> &arguments) {
    std::string text;
    for (const std::string &argument : arguments) {
        const bool plain = !argument.empty() && std::none_of(argument.begin(), argument.end(), [](char c) {
            return c == ' ' || c == '"' || (unsigned char)c < 0x20 || c == 0x7F;
        });
        text += (text.empty() ? "" : " ") + (plain ? argument : quotedText(argument));
    }
    return text;
}

// The quoted argument that begins at text[at] (its quote), its escapes undone; at ends on its
// closing quote.
static std::string unquoted(const std::string &text, size_t &at) {
    std::string argument;
    for (++at; at < text.size() && text[at] != '"'; ++at) {
        if (text[at] != '\\' || at + 1 == text.size()) {
            argument += text[at];
            continue;
        }
        const char c = text[++at];
        if (c == 'x' && at + 2 < text.size()) {
            argument += (char)u8_from_hex_string(text.substr(at + 1, 2).c_str());
            at += 2;
        } else {
            argument += c == 'r' ? '\r' : c == 'n' ? '\n' : c;
        }
    }
    return argument;
}

std::vector<std::string> commandLineArguments(const std::string &text) {
    std::vector<std::string> arguments;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '"') {
            arguments.push_back(unquoted(text, at));
        } else if (text[at] != ' ') { // as it is, up to the next space
            const size_t end = std::min(text.find(' ', at), text.size());
            arguments.push_back(text.substr(at, end - at));
            at = end;
        }
    }
    return arguments;
}
