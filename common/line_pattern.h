// Matching one line of the pair configuration file against a formatted-input
// pattern, with the rules of sscanf but with every number range-checked.
#ifndef COMMON_LINE_PATTERN_H
#define COMMON_LINE_PATTERN_H

#include <cstdint>
#include <string>

enum class scan_status {
    complete,      // every conversion of the pattern was filled
    mismatch,      // the line stopped matching before the last conversion
    out_of_range,  // a number does not fit a signed 32-bit integer
};

// Applies `pattern` to `line` as sscanf would, for patterns made of literal
// characters, white space and "%d" conversions only:
//  - white space in the pattern matches any run of white space, even none;
//  - "%d" skips white space, then takes an optional sign and at least one
//    decimal digit;
//  - any other character must meet the very same character.
// Whatever follows the last conversion is ignored. Stores at most `count`
// values; the pattern must not hold more conversions than that.
scan_status scan_numbers(const char* line, const char* pattern,
                         std::int32_t* values, int count);

// Applies "%s": skips white space and takes the run of characters up to the
// next white space. Returns false when the line holds no such word.
bool scan_word(const char* line, std::string& word);

#endif
