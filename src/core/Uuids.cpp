#include "core/Uuids.h"

namespace Uuids {
namespace {

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

} // namespace

QString text(const QUuid& id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QUuid> parse(const QString& text)
{
    if (text.size() != 36) {
        return std::nullopt;
    }
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool hyphenPosition = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphenPosition ? c != u'-' : !isHexDigit(c)) {
            return std::nullopt;
        }
    }
    const QUuid id = QUuid::fromString(text);
    if (id.isNull() && text != QStringLiteral("00000000-0000-0000-0000-000000000000")) {
        return std::nullopt;
    }
    return id;
}

} // namespace Uuids
