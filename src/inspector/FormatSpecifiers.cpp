#include "inspector/FormatSpecifiers.h"

#include "inspector/RemoteObjectText.h"
#include "inspector/TextJoiner.h"

namespace ConsoleFormatting {

using namespace ProtocolFields;
using simdjson::dom::object;

namespace {

// The text of a parameter that %s inserts: a string's own value, otherwise its description.
void appendStringArgument(std::string& out, object parameter) {
    const RemoteObjectFields fields(parameter);
    if (asString(fields.type) == std::string_view("string")) {
        out += asString(fields.value).value_or("");
    } else if (const auto description = asString(fields.description)) {
        out += *description;
    } else {
        describe(out, fields); // a value without a description still shows what it is
    }
}

} // namespace

void render(std::string& out, Parameters parameters, std::vector<DescribedSpan>* described) {
    TextJoiner parts(out, " ");
    const std::size_t total = parameters.size();
    if (!parameters.empty()) {
        const RemoteObjectFields first(parameters.front());
        const auto format = asString(first.value);
        if (asString(first.type) == std::string_view("string") && format &&
            format->find('%') != std::string_view::npos) {
            parameters = parameters.subspan(1);
            substitute(parts.next(), *format, parameters);
        }
    }
    const std::size_t consumed = total - parameters.size();
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        std::string& text = parts.next();
        const std::size_t begin = text.size();
        describe(text, parameters[i]);
        if (described)
            described->push_back({consumed + i, begin, text.size()});
    }
}

void substitute(std::string& out, std::string_view format, Parameters& parameters) {
    const auto take = [&]() -> std::optional<object> {
        if (parameters.empty())
            return std::nullopt;
        const object front = parameters.front();
        parameters = parameters.subspan(1);
        return front;
    };

    size_t at = 0;
    while (at < format.size()) {
        const size_t percent = format.find('%', at);
        if (percent == std::string_view::npos) {
            out += format.substr(at);
            break;
        }
        out += format.substr(at, percent - at);
        if (percent + 1 == format.size()) {
            out += '%';
            break;
        }
        const char specifier = format[percent + 1];
        at = percent + 2;
        switch (specifier) {
        case '%':
            out += '%';
            break;
        case 'c':
            take(); // the style has no place in plain text
            break;
        case 's':
            if (const auto argument = take())
                appendStringArgument(out, *argument);
            else
                out += "%s";
            break;
        case 'd':
        case 'i':
        case 'f':
        case 'o':
        case 'O':
        case 'j':
            if (const auto argument = take()) {
                describe(out, *argument);
            } else {
                out += '%';
                out += specifier;
            }
            break;
        default:
            // Not a specifier: keep the "%" and let the next character be copied as it is (it may be
            // the first byte of a longer UTF-8 sequence).
            out += '%';
            at = percent + 1;
            break;
        }
    }
}

} // namespace ConsoleFormatting
