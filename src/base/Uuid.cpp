#include "base/Uuid.h"

#include <QRandomGenerator64>
#include <QRandomGenerator>

#include <array>
#include <cstring>

namespace Uuid {

namespace {

QRandomGenerator64 seededGenerator() {
    // Seed the whole Mersenne Twister state rather than a single word, so that generators of
    // different threads never share a sequence in practice.
    std::array<quint32, 16> seed{};
    QRandomGenerator::system()->fillRange(seed.data(), seed.size());
    return QRandomGenerator64(seed.data(), qsizetype(seed.size()));
}

} // namespace

QUuid create() {
    thread_local QRandomGenerator64 generator = seededGenerator();
    std::array<quint64, 2> words{generator.generate64(), generator.generate64()};
    std::array<char, 16> bytes{};
    std::memcpy(bytes.data(), words.data(), bytes.size());
    bytes[6] = char((bytes[6] & 0x0F) | 0x40); // version 4: random
    bytes[8] = char((bytes[8] & 0x3F) | 0x80); // variant: RFC 4122
    return QUuid::fromRfc4122(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

QString text(const QUuid& uuid) {
    return uuid.toString(QUuid::WithoutBraces).toUpper();
}

} // namespace Uuid
