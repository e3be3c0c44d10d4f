#include "common/number_text.h"

#include <cstdio>

std::string with_decimals(double v, int places)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", places, v);
    return text;
}
