// Numbers as the programs' messages write them.
#ifndef COMMON_NUMBER_TEXT_H
#define COMMON_NUMBER_TEXT_H

#include <string>

// `v` with `places` decimals, rounded as printf rounds: 9.06 as "9.1".
std::string with_decimals(double v, int places);

// `v` with one decimal, the programs' usual figure: "9.1".
inline std::string one_decimal(double v)
{
    return with_decimals(v, 1);
}

#endif
