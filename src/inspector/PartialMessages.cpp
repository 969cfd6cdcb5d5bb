#include "inspector/PartialMessages.h"

#include "base/Logging.h"
#include "inspector/ServiceLink.h"

#include <algorithm>

namespace {

const QString kPartialKey = QStringLiteral("WIRPartialMessageKey");
const QString kFinalKey = QStringLiteral("WIRFinalMessageKey");

} // namespace

PartialMessages::Result PartialMessages::take(const QVariantMap& argument) {
    const std::optional<QByteArray> partial = ServiceLink::data(argument, kPartialKey);
    const std::optional<QByteArray> final = partial ? std::nullopt : ServiceLink::data(argument, kFinalKey);
    if (!partial && !final)
        return {};
    QString key;
    if (const auto destination = ServiceLink::string(argument, ServiceLink::kDestinationKey)) {
        key = *destination;
    } else {
        key = ServiceLink::string(argument, ServiceLink::kApplicationKey).value_or(QStringLiteral("?")) +
              QLatin1Char('#') +
              QString::number(ServiceLink::number(argument, ServiceLink::kPageKey).value_or(-1));
    }
    if (m_dropped.contains(key)) {
        if (final)
            m_dropped.remove(key);
        return {true, std::nullopt};
    }
    if (partial) {
        if (!m_partials.contains(key))
            m_partials.insert(key, {{}, m_nextStart++});
        // Senders that never finish must not grow our memory without end, nor hold up the others.
        while (m_bytes + partial->size() > m_maxBytes) {
            const auto oldest =
                std::min_element(m_partials.cbegin(), m_partials.cend(),
                                 [](const Partial& a, const Partial& b) { return a.started < b.started; });
            const QString sender = oldest.key();
            qCWarning(lcInspector) << "dropped the pieces of a message from" << sender << "past" << m_maxBytes
                                   << "bytes";
            drop(sender);
            m_dropped.insert(sender);
            if (sender == key)
                return {true, std::nullopt};
        }
        m_partials[key].bytes.append(*partial);
        m_bytes += partial->size();
        return {true, std::nullopt};
    }
    QByteArray whole = m_partials.take(key).bytes;
    m_bytes -= whole.size();
    whole.append(*final);
    QVariantMap complete = argument;
    complete.insert(ServiceLink::kMessageDataKey, whole);
    return {true, std::move(complete)};
}

void PartialMessages::drop(const QString& sender) {
    m_bytes -= m_partials.take(sender).bytes.size();
}

void PartialMessages::forget(const QString& sender) {
    drop(sender);
    m_dropped.remove(sender);
}

void PartialMessages::clear() {
    m_partials.clear();
    m_dropped.clear();
    m_bytes = 0;
}
