// Console records from arbitrary inspector JSON: the "message" of a Console.messageAdded event, and a
// stack trace value.
#include "inspector/ConsoleFormatting.h"
#include "wire/InspectorJson.h"

#include <QLoggingCategory>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static simdjson::dom::parser parser;
    const auto root = InspectorJson::parse(parser, {reinterpret_cast<const char*>(data), size});
    if (!root)
        return 0;
    const PageKey page{QStringLiteral("SIM"), QStringLiteral("PID:1"), 1};
    if (simdjson::dom::object message; root->get_object().get(message) == simdjson::SUCCESS)
        (void)ConsoleFormatting::entry(message, page);
    (void)ConsoleFormatting::stack(*root);
    return 0;
}
