#include "inspector/SessionJson.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace SessionJson {

std::optional<std::string_view> string(simdjson::dom::object object, const char* key) {
    std::string_view value;
    if (object[key].get_string().get(value) != simdjson::SUCCESS)
        return std::nullopt;
    return value;
}

QString text(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

std::optional<qint64> integer(simdjson::dom::element value) {
    int64_t integer;
    if (value.get_int64().get(integer) == simdjson::SUCCESS)
        return integer;
    // Only a whole number in [-2^63, 2^63) converts: converting any other double is undefined.
    double number;
    if (value.get_double().get(number) == simdjson::SUCCESS && std::trunc(number) == number &&
        number >= -0x1p63 && number < 0x1p63)
        return qint64(number);
    return std::nullopt;
}

simdjson::dom::object emptyObject() {
    static thread_local simdjson::dom::parser parser;
    static thread_local simdjson::dom::object object =
        parser.parse(simdjson::padded_string(std::string_view("{}"))).get_object().value_unsafe();
    return object;
}

std::optional<simdjson::dom::element> error(simdjson::dom::parser& parser, const QString& text) {
    const QByteArray json =
        QJsonDocument(QJsonObject{{"error", QJsonObject{{"message", text}}}}).toJson(QJsonDocument::Compact);
    simdjson::dom::element answer;
    if (parser.parse(json.constData(), size_t(json.size())).get(answer) != simdjson::SUCCESS)
        return std::nullopt;
    return answer;
}

} // namespace SessionJson
