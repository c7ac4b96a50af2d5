#include "base/ConnectionString.h"

#include "base/StringOperations.h"

#include <algorithm>
#include <vector>

namespace {

// One NAME=VALUE of a connection string.
struct Attribute {
    bool password;     // its name is Pwd or Password (any case, spaces around it)
    size_t value, end; // its value, braces and all, is [value, end): end is its ';' or the text's end
};

std::string trimmed(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// Every NAME=VALUE of text, in order. A value in braces runs to its closing brace ("}}" is a
// brace of the value): its ';' are its own, and an unclosed one runs to the end. A name begins
// after the last ';' before its '=': a part of a string split at a space begins anywhere.
std::vector<Attribute> attributes(const std::string &text) {
    std::vector<Attribute> found;
    for (size_t i = 0; i < text.size();) {
        const size_t equals = text.find('=', i);
        if (equals == std::string::npos) break;
        size_t end = equals + 1;
        if (end < text.size() && text[end] == '{')
            for (++end; end < text.size(); ++end)
                if (text[end] == '}') {
                    if (end + 1 < text.size() && text[end + 1] == '}') ++end;
                    else break;
                }
        end = std::min(text.find(';', end), text.size());
        const size_t semicolon = text.rfind(';', equals);
        const size_t name = semicolon == std::string::npos || semicolon < i ? i : semicolon + 1;
        const std::string key = lowerCase(trimmed(text.substr(name, equals - name)));
        found.push_back({key == "pwd" || key == "password", equals + 1, end});
        i = end + 1;
    }
    return found;
}

// The value as the driver takes it: "{a;b}}c}" is "a;b}c".
std::string unbraced(const std::string &value) {
    const std::string text = trimmed(value);
    if (text.empty() || text[0] != '{') return text;
    std::string plain;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '}' && (i + 1 == text.size() || text[++i] != '}')) break;
        plain += text[i];
    }
    return plain;
}

// text with every what (none within an earlier replacement) as with.
std::string replacedAll(std::string text, const std::string &what, const std::string &with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

} // namespace

std::string connectionMasked(const std::string &connection) {
    std::string out;
    size_t from = 0;
    for (const Attribute &a : attributes(connection))
        if (a.password) {
            out += connection.substr(from, a.value - from) + "***";
            from = a.end;
        }
    return out + connection.substr(from);
}

bool connectionHoldsPassword(const std::string &text) {
    const std::vector<Attribute> found = attributes(text);
    return std::any_of(found.begin(), found.end(), [](const Attribute &a) { return a.password; });
}

std::string connectionPasswordsHidden(const std::string &text, const std::string &connection) {
    std::string out = connection.empty() ? text : replacedAll(text, connection, connectionMasked(connection));
    for (const Attribute &a : attributes(connection)) {
        if (!a.password) continue;
        const std::string written = connection.substr(a.value, a.end - a.value);
        // As written and as the driver takes it; not one of two letters, which a message holds anywhere.
        for (const std::string &secret : {written, unbraced(written)})
            if (secret.size() >= 3) out = replacedAll(out, secret, "***");
    }
    return out;
}
