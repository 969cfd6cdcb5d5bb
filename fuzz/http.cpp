// The agent endpoint's request parser over whatever a client has sent so far.
#include "agent/HttpRequestParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    (void)HttpRequestParser::parse(bytes);
    (void)HttpRequestParser::contentLength(bytes);
    return 0;
}
