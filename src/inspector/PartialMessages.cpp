#include "inspector/PartialMessages.h"

#include "base/Logging.h"
#include "inspector/ServiceLink.h"

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
    if (partial) {
        QByteArray& collected = m_partials[key];
        if (m_bytes + partial->size() > kMaxPartialBytes) {
            // A sender that never finishes must not grow our memory without end.
            qCWarning(lcInspector) << "dropped the pieces of a message from" << key << "past"
                                   << kMaxPartialBytes << "bytes";
            m_bytes -= collected.size();
            m_partials.remove(key);
            return {true, std::nullopt};
        }
        collected.append(*partial);
        m_bytes += partial->size();
        return {true, std::nullopt};
    }
    QByteArray whole = m_partials.take(key);
    m_bytes -= whole.size();
    whole.append(*final);
    QVariantMap complete = argument;
    complete.insert(ServiceLink::kMessageDataKey, whole);
    return {true, std::move(complete)};
}

void PartialMessages::clear() {
    m_partials.clear();
    m_bytes = 0;
}
