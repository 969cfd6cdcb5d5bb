// Property-list bodies, binary or XML: the whole value, and a message's selector and argument.
#include "wire/PropertyList.h"

#include <QLoggingCategory>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    if (const std::optional<QVariant> value = PropertyList::decode(bytes, size))
        (void)PropertyList::encodeBinary(*value); // what was read can be written back, or is refused
    (void)PropertyList::decodeMessage(bytes, size);
    return 0;
}
