#include "common/line_pattern.h"

#include <cctype>
#include <cstdint>
#include <limits>

namespace {

bool is_space(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

const char* skip_space(const char* p)
{
    while (*p != '\0' && is_space(*p))
        ++p;
    return p;
}

// Reads "%d" at `p`; advances `p` past the number on success.
scan_status read_number(const char*& p, std::int32_t& value)
{
    const char* s = skip_space(p);
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    if (!std::isdigit(static_cast<unsigned char>(*s)))
        return scan_status::mismatch;

    // Accumulate the magnitude, remembering overflow but still consuming
    // every digit, as the conversion would.
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    std::int64_t magnitude = 0;
    bool overflow = false;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
        if (!overflow) {
            magnitude = magnitude * 10 + (*s - '0');
            overflow = magnitude > limit;
        }
    }
    if (overflow)
        return scan_status::out_of_range;
    value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    p = s;
    return scan_status::complete;
}

int count_conversions(const char* pattern)
{
    int n = 0;
    for (const char* q = pattern; *q != '\0'; ++q)
        if (q[0] == '%' && q[1] == 'd')
            ++n;
    return n;
}

}  // namespace

scan_status scan_numbers(const char* line, const char* pattern,
                         std::int32_t* values, int count)
{
    const int wanted = count_conversions(pattern);
    if (wanted > count)
        return scan_status::mismatch;

    const char* p = line;
    int filled = 0;
    for (const char* q = pattern; *q != '\0' && filled < wanted;) {
        if (is_space(*q)) {
            while (is_space(*q))
                ++q;
            p = skip_space(p);
        } else if (q[0] == '%' && q[1] == 'd') {
            const scan_status s = read_number(p, values[filled]);
            if (s != scan_status::complete)
                return s;
            ++filled;
            q += 2;
        } else {
            if (*p != *q)
                return scan_status::mismatch;
            ++p;
            ++q;
        }
    }
    return scan_status::complete;
}

bool scan_word(const char* line, std::string& word)
{
    const char* begin = skip_space(line);
    const char* end = begin;
    while (*end != '\0' && !is_space(*end))
        ++end;
    if (end == begin)
        return false;
    word.assign(begin, end);
    return true;
}
