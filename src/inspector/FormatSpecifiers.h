#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <simdjson.h>

// The message text of console arguments, the way console.log() joins them. Appends UTF-8 to `out`.
namespace ConsoleFormatting {

using Parameters = std::span<const simdjson::dom::object>;

// Where render() wrote the description of a parameter that no format specifier consumed:
// parameters[index] is described by out[begin, end).
struct DescribedSpan {
    std::size_t index;
    std::size_t begin;
    std::size_t end;
};

// A leading format string is applied, the rest is described, everything joined with single spaces.
void render(std::string& out, Parameters parameters, std::vector<DescribedSpan>* described = nullptr);

// Applies the format specifiers of `format` (%s %d %i %f %o %O %j %c %%), consuming the arguments they
// use from the front of `parameters`.
void substitute(std::string& out, std::string_view format, Parameters& parameters);

} // namespace ConsoleFormatting
