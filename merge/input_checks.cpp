#include "merge/input_checks.h"

#include "common/lens_geometry.h"
#include "common/square_rule.h"

std::string open_problem(upright_video& reader, const std::string& path)
{
    return reader.open(path) ? std::string() : reader.problem();
}

std::string squares_problem(const pair_config& config, cv::Size first_size,
                            cv::Size second_size)
{
    std::string problem;
    if (!first_size.empty())
        problem = square_problem(config.first.path, scale_circle(config.first.circle), first_size);
    if (problem.empty() && !second_size.empty())
        problem =
            square_problem(config.second.path, scale_circle(config.second.circle), second_size);
    return problem;
}
