#include "TomlDepth.h"

#include <vector>

namespace vbus {

std::string TomlNestingProblem(const std::string &text, int maxDepth)
{
    const size_t n = text.size();
    long line = 1;
    // Depth of the key path at each open array or inline table, innermost last.
    std::vector<int> frames;
    int base = 0;     // depth of the innermost open array or table
    int dots = 0;     // dots in the key or value being read
    int keyDots = 0;  // dots of the key whose value is being read
    auto tooDeep = [&] {
        return "line " + std::to_string(line) + ": tables, arrays or the parts of a dotted key nested deeper than " +
               std::to_string(maxDepth) + " levels";
    };
    auto starts = [&](size_t i, const char *three) {
        return i + 2 < n && text[i] == three[0] && text[i + 1] == three[1] && text[i + 2] == three[2];
    };
    size_t i = 0;
    while (i < n) {
        char c = text[i];
        switch (c) {
        case '\n':
            ++line;
            dots = keyDots = 0;
            ++i;
            break;
        case '#':  // a comment runs to the end of the line
            while (i < n && text[i] != '\n') ++i;
            break;
        case '"':
            if (starts(i, "\"\"\"")) {
                i += 3;
                while (i < n) {
                    if (text[i] == '\\') {
                        if (i + 1 < n && text[i + 1] == '\n') ++line;
                        i += 2;
                    } else if (starts(i, "\"\"\"")) {
                        // Up to two more quotes belong to the text: """"" closes after them.
                        size_t q = 3;
                        while (q < 5 && i + q < n && text[i + q] == '"') ++q;
                        i += q;
                        break;
                    } else {
                        if (text[i] == '\n') ++line;
                        ++i;
                    }
                }
            } else {
                // A line ends an unclosed string: the parser stops there, and so do we.
                ++i;
                while (i < n && text[i] != '"' && text[i] != '\n') i += text[i] == '\\' && i + 1 < n && text[i + 1] != '\n' ? 2 : 1;
                if (i < n && text[i] == '"') ++i;
            }
            break;
        case '\'':
            if (starts(i, "'''")) {
                i += 3;
                while (i < n) {
                    if (starts(i, "'''")) {
                        size_t q = 3;
                        while (q < 5 && i + q < n && text[i + q] == '\'') ++q;
                        i += q;
                        break;
                    }
                    if (text[i] == '\n') ++line;
                    ++i;
                }
            } else {
                ++i;
                while (i < n && text[i] != '\'' && text[i] != '\n') ++i;
                if (i < n && text[i] == '\'') ++i;
            }
            break;
        case '[':
        case '{':
            frames.push_back(base);
            base += 1 + keyDots;
            dots = keyDots = 0;
            if (base > maxDepth) return tooDeep();
            ++i;
            break;
        case ']':
        case '}':
            if (!frames.empty()) {
                base = frames.back();
                frames.pop_back();
            }
            dots = keyDots = 0;
            ++i;
            break;
        case '=':
            keyDots = dots;
            dots = 0;
            ++i;
            break;
        case ',':
            dots = keyDots = 0;
            ++i;
            break;
        case '.':
            if (base + ++dots + 1 > maxDepth) return tooDeep();
            ++i;
            break;
        default:
            ++i;
        }
    }
    return std::string();
}

}  // namespace vbus
