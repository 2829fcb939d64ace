#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// One word of an alignment. Times are seconds from the start of the chunk file.
struct AlignedWord
{
    QString text;
    std::optional<double> start;
    std::optional<double> end;

    static AlignedWord fromJson(const QJsonObject& object);
    QJsonObject toJson() const;

    bool operator==(const AlignedWord&) const = default;
};
