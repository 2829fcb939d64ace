#include "store/SpeakerSegment.h"

#include "core/JsonFields.h"

SpeakerSegment SpeakerSegment::fromJson(const QJsonObject& object)
{
    return SpeakerSegment {
        .start = JsonFields::requiredDouble(object, QStringLiteral("start")),
        .end = JsonFields::requiredDouble(object, QStringLiteral("end")),
        .speaker = JsonFields::requiredString(object, QStringLiteral("speaker")),
    };
}

QJsonObject SpeakerSegment::toJson() const
{
    return QJsonObject {
        { QStringLiteral("start"), start },
        { QStringLiteral("end"), end },
        { QStringLiteral("speaker"), speaker },
    };
}
