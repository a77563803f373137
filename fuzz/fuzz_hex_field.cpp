// The hexadecimal field test of the access parameters dialog, in both forms,
// and the conversion that follows it, against a plain reference.
#include "InputLba.h"

#include <QString>

#include <cstdlib>
#include <string>

namespace {

bool RefHex(unsigned c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    bool all = true;
    for (size_t i = 0; i < size; ++i)
        all = all && RefHex(data[i]);
    if (IsHexText(text, size) != all)
        __builtin_trap();
    if (!IsHexText(nullptr, 0) || IsHexText(nullptr, 1))
        __builtin_trap();

    const QString field = QString::fromUtf8(text, int(size));
    bool allChars = true;
    for (const QChar c : field)
        allChars = allChars && RefHex(c.unicode());
    if (IsHexText(field) != allChars)
        __builtin_trap();

    uint32_t value = 0xFFFFFFFFu;
    const bool parsed = ParseHex32(field, value);
    const bool expectParsed = allChars && !field.isEmpty() && field.size() <= 8;
    if (parsed != expectParsed)
        __builtin_trap();
    if (parsed) {
        const std::string s = field.toStdString();
        if (std::strtoul(s.c_str(), nullptr, 16) != value)
            __builtin_trap();
    }
    return 0;
}
