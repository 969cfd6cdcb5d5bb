#include "inspector/InspectorTiming.h"

#include <mutex>

namespace {
std::mutex lock;
InspectorTiming timing;
} // namespace

InspectorTiming InspectorTiming::current() {
    std::lock_guard guard(lock);
    return timing;
}

void InspectorTiming::set(const InspectorTiming& value) {
    std::lock_guard guard(lock);
    timing = value;
}
