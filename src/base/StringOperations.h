#ifndef STRINGOPERATIONS_H_
#define STRINGOPERATIONS_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Value of a hex digit 0-15, either case; any other character gives 0.
uint8_t int_from_hex_char(char aChar);
// The same for every character code, as a table built at compile time.
constexpr std::array<uint8_t, 256> hexDigitValues() {
    std::array<uint8_t, 256> value{};
    for (int c = '0'; c <= '9'; ++c) value[c] = (uint8_t)(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) value[c] = (uint8_t)(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) value[c] = (uint8_t)(c - 'a' + 10);
    return value;
}
// The byte written by the first two characters; one character alone gives its digit, none 0.
uint8_t u8_from_hex_string(const char *inputString);
// Adds the digits of inputString, from its last character, into a zeroed outputArray.
// 1 done; 0 when ceil(length / 2) exceeds arraySize (nothing written).
uint8_t u8_array_from_hex_string(uint8_t *outputArray, uint32_t arraySize, const char *inputString);
// Upper-case letter for a lower-case one; anything else unchanged.
char capitalizeChar(char character);
// The text with its ASCII capitals in lower case (host names, compared as DNS compares them).
std::string lowerCase(std::string text);
// Splits s in place at the characters of ct; a new null-closed list of the pieces (release it
// with free, not the pieces), an empty list when there is no piece, null when s or ct is null.
char **str_split(char *s, const char *ct);

// How deep the brackets of a JSON text nest, strings left out: a text nested deeper than a
// record ever is (a hostile file) is refused before a parser or a printer recurses through it.
size_t jsonNesting(const std::string &text);
// The deepest a record of this program nests, with room to spare.
constexpr size_t JSON_NESTING_MAX = 64;

// A decimal number made of digits only, within [low, high]: the one reading of every number
// the program is given (options, operator entries, COM numbers).
bool parseDecimal(const std::string &text, long long low, long long high, int &value);

// The arguments as one line that reads back whole: one holding a space, a quote or a control
// character (or none at all) in quotes as quotedText() writes it, the others as they are.
std::string commandLineText(const std::vector<std::string> &arguments);
// The arguments of such a line, each whole.
std::vector<std::string> commandLineArguments(const std::string &text);

#endif
