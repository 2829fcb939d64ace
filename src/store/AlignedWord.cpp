#include "store/AlignedWord.h"

#include "core/JsonFields.h"

AlignedWord AlignedWord::fromJson(const QJsonObject& object)
{
    return AlignedWord {
        .text = JsonFields::requiredString(object, QStringLiteral("text")),
        .start = JsonFields::optionalDouble(object, QStringLiteral("start")),
        .end = JsonFields::optionalDouble(object, QStringLiteral("end")),
    };
}

QJsonObject AlignedWord::toJson() const
{
    QJsonObject object { { QStringLiteral("text"), text } };
    if (start) {
        object.insert(QStringLiteral("start"), *start);
    }
    if (end) {
        object.insert(QStringLiteral("end"), *end);
    }
    return object;
}
