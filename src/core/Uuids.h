#pragma once

#include <QString>
#include <QUuid>

#include <optional>

// Every id that becomes text (folder names, headers, job files) uses the
// canonical 36-character form with upper-case hexadecimal digits.
namespace Uuids {

QString text(const QUuid& id);

// Accepts only the 8-4-4-4-12 form (either case), no braces or other forms.
std::optional<QUuid> parse(const QString& text);

} // namespace Uuids
