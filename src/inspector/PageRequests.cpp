#include "inspector/PageRequests.h"

#include "inspector/ConsoleFormatting.h"

#include "base/Logging.h"
#include "base/StandardOrder.h"

#include <QCollator>
#include <QFile>
#include <QJsonDocument>
#include <QLocale>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>

namespace PageRequests {

namespace {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::object;

QString qstr(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::optional<object> objectField(object from, std::string_view key) {
    object value;
    if (from[key].get(value) != simdjson::SUCCESS)
        return std::nullopt;
    return value;
}

std::optional<std::string_view> stringField(object from, std::string_view key) {
    std::string_view value;
    if (from[key].get(value) != simdjson::SUCCESS)
        return std::nullopt;
    return value;
}

// The "result" object of an answer (R), when the answer is not an error.
std::optional<object> resultOf(element answer) {
    object root;
    if (answer.get(root) != simdjson::SUCCESS)
        return std::nullopt;
    return objectField(root, "result");
}

bool wasThrown(object result) {
    bool thrown = false;
    return result["wasThrown"].get(thrown) == simdjson::SUCCESS && thrown;
}

// R → "result" → "value", the value that an evaluation returned by value.
std::optional<element> returnedValue(element answer) {
    const std::optional<object> result = resultOf(answer);
    if (!result || wasThrown(*result))
        return std::nullopt;
    const std::optional<object> remote = objectField(*result, "result");
    if (!remote)
        return std::nullopt;
    element value;
    if ((*remote)["value"].get(value) != simdjson::SUCCESS)
        return std::nullopt;
    return value;
}

// A JSON number that is finite and within the 64-bit integer range, truncated towards zero.
std::optional<qint64> truncatedNumber(element value) {
    switch (value.type()) {
    case simdjson::dom::element_type::INT64:
        return value.get_int64().value_unsafe();
    case simdjson::dom::element_type::UINT64: {
        const uint64_t number = value.get_uint64().value_unsafe();
        if (number > uint64_t(std::numeric_limits<qint64>::max()))
            return std::nullopt;
        return qint64(number);
    }
    case simdjson::dom::element_type::DOUBLE: {
        const double number = value.get_double().value_unsafe();
        // Everything in [-2^63, 2^63) truncates to a 64-bit integer without overflow.
        if (!std::isfinite(number) || number < -0x1p63 || number >= 0x1p63)
            return std::nullopt;
        return qint64(number);
    }
    default:
        return std::nullopt;
    }
}

// The scripts run in the page live in scripts/ and are compiled in as resources. Each is read once;
// a placeholder in it stands for the part a request fills in.
QString pageScript(const QString& name) {
    QFile file(QStringLiteral(":/inspector/scripts/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcInspector) << "page script missing from the resources:" << name;
        return {};
    }
    return QString::fromUtf8(file.readAll()).trimmed();
}

// Collects every property name along the prototype chain of BASE_EXPRESSION.
const QString& completionScript() {
    static const QString script = pageScript(QStringLiteral("completionNames.js"));
    return script;
}

// Runs in the page with the object as `this` and returns one string; JSON_MODE picks JSON or a
// JavaScript literal. Nothing may escape it: every read of page data that can throw is caught and
// printed as "[unreadable: ...]".
const QString& serializerScript() {
    static const QString script = pageScript(QStringLiteral("serializer.js"));
    return script;
}

} // namespace

// ---- Properties ----

void properties(const Send& send, const QString& objectID, std::function<void(QList<PropertyNode>)> done) {
    send(QStringLiteral("Runtime.getProperties"),
         QJsonObject{{"objectId", objectID}, {"ownProperties", true}, {"generatePreview", true}},
         [done = std::move(done)](element answer) { done(nodes(answer)); });
}

QList<PropertyNode> nodes(element answer) {
    QList<PropertyNode> rows;
    object root;
    if (answer.get(root) != simdjson::SUCCESS)
        return rows;
    if (const std::optional<object> error = objectField(root, "error")) {
        PropertyNode row;
        const auto message = stringField(*error, "message");
        row.value = message ? qstr(*message) : QStringLiteral("value is no longer available");
        qCWarning(lcInspector) << "object properties refused:" << row.value;
        rows.append(std::move(row));
        return rows;
    }
    const std::optional<object> result = objectField(root, "result");
    array descriptors;
    if (!result || (*result)["properties"].get(descriptors) != simdjson::SUCCESS)
        return rows;
    for (element item : descriptors) {
        object descriptor;
        if (item.get(descriptor) != simdjson::SUCCESS)
            continue;
        const auto name = stringField(descriptor, "name");
        if (!name)
            continue;
        PropertyNode row;
        row.name = qstr(*name);
        if (const std::optional<object> value = objectField(descriptor, "value")) {
            row.value = ConsoleFormatting::describe(*value);
            const auto objectID = stringField(*value, "objectId");
            if (objectID && stringField(*value, "subtype") != std::string_view("null"))
                row.objectID = qstr(*objectID);
        } else if (descriptor["get"].error() == simdjson::SUCCESS) {
            row.value = QStringLiteral("(getter)");
        } else {
            row.value = QStringLiteral("(no value)");
        }
        rows.append(std::move(row));
    }
    sortNodes(rows);
    return rows;
}

std::optional<qint64> integerName(QStringView name) {
    QStringView digits = name;
    bool negative = false;
    if (!digits.isEmpty() && (digits.front() == u'+' || digits.front() == u'-')) {
        negative = digits.front() == u'-';
        digits = digits.sliced(1);
    }
    if (digits.isEmpty() || digits.size() > 64)
        return std::nullopt;
    char ascii[66];
    qsizetype length = 0;
    if (negative)
        ascii[length++] = '-';
    for (QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        ascii[length++] = char(c.unicode());
    }
    qint64 value = 0;
    const auto [end, error] = std::from_chars(ascii, ascii + length, value);
    if (error != std::errc() || end != ascii + length)
        return std::nullopt;
    return value;
}

void sortNodes(QList<PropertyNode>& nodes) {
    // Sort keys worked out once per row: internals last, then integers by value, then names.
    struct Key {
        bool internal;
        std::optional<qint64> integer;
        QCollatorSortKey name;
        qsizetype index;
    };
    const QCollator collator = StandardOrder::collator();
    std::vector<Key> keys;
    keys.reserve(size_t(nodes.size()));
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        const QString& name = nodes[i].name;
        keys.push_back(
            Key{name.startsWith(QLatin1String("__")), integerName(name), collator.sortKey(name), i});
    }
    std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        if (a.internal != b.internal)
            return b.internal;
        if (a.integer.has_value() != b.integer.has_value())
            return a.integer.has_value();
        if (a.integer)
            return *a.integer < *b.integer;
        return a.name.compare(b.name) < 0;
    });
    QList<PropertyNode> sorted;
    sorted.reserve(nodes.size());
    for (const Key& key : keys)
        sorted.append(std::move(nodes[key.index]));
    nodes = std::move(sorted);
}

// ---- Completions ----

void completions(const Send& send, const std::optional<QString>& base,
                 std::function<void(QStringList)> done) {
    send(QStringLiteral("Runtime.evaluate"),
         QJsonObject{{"expression", completionExpression(base)},
                     {"objectGroup", QStringLiteral("completion")},
                     {"returnByValue", true},
                     {"doNotPauseOnExceptionsAndMuteConsole", true}},
         [done = std::move(done)](element answer) {
             QStringList names = completionNames(answer);
             qCDebug(lcInspector) << "completion names:" << names.size();
             done(std::move(names));
         });
}

QString completionExpression(const std::optional<QString>& base) {
    return QString(completionScript())
        .replace(QLatin1String("BASE_EXPRESSION"), base.value_or(QStringLiteral("globalThis")));
}

QStringList completionNames(element answer) {
    const std::optional<element> value = returnedValue(answer);
    array items;
    if (!value || value->get(items) != simdjson::SUCCESS)
        return {};
    QStringList names;
    for (element item : items) {
        std::string_view name;
        if (item.get(name) != simdjson::SUCCESS)
            return {};
        names.append(qstr(name));
    }
    return names;
}

// ---- Serialisation ----

void serialize(const Send& send, const QString& objectID, bool asJSON,
               std::function<void(std::optional<QString>)> done) {
    send(QStringLiteral("Runtime.callFunctionOn"),
         QJsonObject{{"objectId", objectID},
                     {"functionDeclaration", serializerFunction(asJSON)},
                     {"returnByValue", true},
                     {"doNotPauseOnExceptionsAndMuteConsole", true}},
         [done = std::move(done)](element answer) {
             std::optional<QString> text = serialized(answer);
             if (!text)
                 qCWarning(lcInspector) << "the page could not serialise an object";
             done(std::move(text));
         });
}

QString serializerFunction(bool asJSON) {
    return QString(serializerScript())
        .replace(QLatin1String("JSON_MODE"), asJSON ? QLatin1String("true") : QLatin1String("false"));
}

std::optional<QString> serialized(element answer) {
    const std::optional<element> value = returnedValue(answer);
    std::string_view text;
    if (!value || value->get(text) != simdjson::SUCCESS)
        return std::nullopt;
    return qstr(text);
}

// ---- Snapshot ----

void snapshot(Send send, bool fullPage, std::function<void(std::optional<QByteArray>)> done) {
    // The completion is shared by the three steps; exactly one of them calls it. A step that cannot
    // be sent (the page has no session any more) would never be answered: it fails at once instead,
    // so that the caller is not left waiting.
    auto finish = std::make_shared<std::function<void(std::optional<QByteArray>)>>(
        [done = std::move(done)](std::optional<QByteArray> image) {
            if (!image)
                qCWarning(lcInspector) << "page snapshot failed";
            done(std::move(image));
        });
    auto capture = [send, fullPage, finish](element answer) {
        const std::optional<SnapshotSize> size = snapshotSize(answer);
        if (!size) {
            (*finish)(std::nullopt);
            return;
        }
        if (!send(QStringLiteral("Page.snapshotRect"), snapshotRectParams(*size, fullPage),
                  [finish](element answer) { (*finish)(snapshotImage(answer)); }))
            (*finish)(std::nullopt);
    };
    auto measure = [send, fullPage, finish, capture = std::move(capture)](element) {
        if (!send(QStringLiteral("Runtime.evaluate"),
                  QJsonObject{{"expression", sizeExpression(fullPage)},
                              {"returnByValue", true},
                              {"doNotPauseOnExceptionsAndMuteConsole", true}},
                  capture))
            (*finish)(std::nullopt);
    };
    if (!send(QStringLiteral("Page.enable"), QJsonObject(), std::move(measure)))
        (*finish)(std::nullopt);
}

QString sizeExpression(bool fullPage) {
    return QStringLiteral("JSON.stringify(%1)")
        .arg(fullPage ? QStringLiteral(
                            "[document.documentElement.scrollWidth, document.documentElement.scrollHeight]")
                      : QStringLiteral("[innerWidth, innerHeight]"));
}

std::optional<SnapshotSize> snapshotSize(element answer) {
    const std::optional<element> value = returnedValue(answer);
    std::string_view text;
    if (!value || value->get(text) != simdjson::SUCCESS)
        return std::nullopt;
    simdjson::dom::parser parser;
    array pair;
    if (parser.parse(simdjson::padded_string(text)).get(pair) != simdjson::SUCCESS || pair.size() != 2)
        return std::nullopt;
    const std::optional<qint64> width = truncatedNumber(pair.at(0).value_unsafe());
    const std::optional<qint64> height = truncatedNumber(pair.at(1).value_unsafe());
    // Sizes below one pixel truncate to an empty rectangle, which captures nothing.
    if (!width || !height || *width < 1 || *height < 1)
        return std::nullopt;
    return SnapshotSize{*width, *height};
}

QJsonObject snapshotRectParams(const SnapshotSize& size, bool fullPage) {
    return QJsonObject{{"x", 0},
                       {"y", 0},
                       {"width", size.width},
                       {"height", size.height},
                       {"coordinateSystem", fullPage ? QStringLiteral("Page") : QStringLiteral("Viewport")}};
}

std::optional<QByteArray> dataURLBytes(std::string_view dataURL) {
    const size_t comma = dataURL.rfind(',');
    const std::string_view encoded = comma == std::string_view::npos ? dataURL : dataURL.substr(comma + 1);
    // Standard Base64 comes in whole groups of four characters, padded with "=".
    if (encoded.empty() || encoded.size() % 4 != 0)
        return std::nullopt;
    auto decoded = QByteArray::fromBase64Encoding(QByteArray(encoded.data(), qsizetype(encoded.size())),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return std::nullopt;
    return std::move(decoded.decoded);
}

std::optional<QByteArray> snapshotImage(element answer) {
    const std::optional<object> result = resultOf(answer);
    if (!result)
        return std::nullopt;
    const auto dataURL = stringField(*result, "dataURL");
    if (!dataURL)
        return std::nullopt;
    return dataURLBytes(*dataURL);
}

} // namespace PageRequests
