#pragma once

#include "wire/PropertyList.h"

#include <cstddef>
#include <optional>

// A reader for the one frame shape that carries console traffic: a binary property list
// {"__selector": "_rpc_applicationSentData:", "__argument": {...}} whose argument holds only
// strings, whole numbers, data and flags. It reads such a frame without building libplist's tree.
// Every other frame, and anything it does not fully recognise, it declines: PropertyList then
// reads the bytes as before. Where it does read a frame it must agree with PropertyList exactly;
// agreesWithPropertyList checks that, for the tests and for fuzzing.
namespace SentDataReader {

std::optional<PropertyList::Message> decode(const char* data, std::size_t size);

// True when decode declines the bytes, or reads them as PropertyList::decodeMessage does.
bool agreesWithPropertyList(const char* data, std::size_t size);

} // namespace SentDataReader
