#include "store/AudioChunk.h"

#include "core/JsonFields.h"

namespace {

// A chunk file always lies directly inside its job folder; a name that could
// lead anywhere else (a tampered job file) is refused.
QString plainFileName(const QString& name)
{
    if (name.isEmpty() || name == u'.' || name == QStringLiteral("..") || name.contains(u'/')
        || name.contains(QChar(0))) {
        throw DecodingError("a chunk file name must be a plain file name");
    }
    return name;
}

} // namespace

AudioChunk AudioChunk::fromJson(const QJsonObject& object)
{
    AudioChunk chunk {
        .filename = plainFileName(JsonFields::requiredString(object, QStringLiteral("filename"))),
        .start = JsonFields::requiredDouble(object, QStringLiteral("start")),
        .end = JsonFields::requiredDouble(object, QStringLiteral("end")),
        .text = JsonFields::optionalString(object, QStringLiteral("text")),
        .speaker = JsonFields::optionalString(object, QStringLiteral("speaker")),
        .audioStart = JsonFields::optionalDouble(object, QStringLiteral("audioStart")),
        .audioEnd = JsonFields::optionalDouble(object, QStringLiteral("audioEnd")),
        .words = std::nullopt,
    };
    if (const auto words = JsonFields::optionalArray(object, QStringLiteral("words"))) {
        chunk.words = JsonFields::records<AlignedWord>(*words);
    }
    return chunk;
}

QJsonObject AudioChunk::toJson() const
{
    QJsonObject object {
        { QStringLiteral("filename"), filename },
        { QStringLiteral("start"), start },
        { QStringLiteral("end"), end },
    };
    if (text) {
        object.insert(QStringLiteral("text"), *text);
    }
    if (speaker) {
        object.insert(QStringLiteral("speaker"), *speaker);
    }
    if (audioStart) {
        object.insert(QStringLiteral("audioStart"), *audioStart);
    }
    if (audioEnd) {
        object.insert(QStringLiteral("audioEnd"), *audioEnd);
    }
    if (words) {
        object.insert(QStringLiteral("words"), JsonFields::toArray(*words));
    }
    return object;
}
