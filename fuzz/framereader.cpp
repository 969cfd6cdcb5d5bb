// The console frame reader against libplist on the same bytes: where the reader reads a frame at
// all, it must read it exactly as libplist does.
#include "wire/SentDataReader.h"

#include <QLoggingCategory>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!SentDataReader::agreesWithPropertyList(reinterpret_cast<const char*>(data), size))
        std::abort();
    return 0;
}
