#pragma once

// How quillonctl's command line takes numbers and tells its exit statuses.

#include <CLI/CLI.hpp>
#include <initializer_list>
#include <string>

// A numeric option's accepted values, both ends included, and what it counts.
struct NumberRange {
    double min;
    double max;
    const char* unit;  // "seconds", "times as fast"
};

// A finite number within `range`, or else one line that names the option, quotes the
// value (escaped) and gives the range: the same for every numeric option, hidden ones
// included, whose names CLI11's own checks leave out.
CLI::Option* AddNumberOption(CLI::App* command, const std::string& name, double& value,
                             NumberRange range, const std::string& description);

// The parse of one numeric value, for the option above; "" or why it is refused.
std::string ParseNumber(const std::string& text, NumberRange range, double* value);

// "Exit status: 0 ok; 1 ..." for the statuses given (kExit... values), wrapped.
std::string ExitStatusFooter(std::initializer_list<int> statuses);

// An argument as typed, in quotes, control characters escaped, cut short if long.
std::string QuoteArgument(const std::string& text);
