#include "cli/ProgressDisplay.h"

namespace {

// Carriage return, then erase to the end of the row.
const QString kRewrite = QStringLiteral("\r\x1b[K");

} // namespace

ProgressDisplay::ProgressDisplay(QIODevice& output, bool inPlace, int columns)
    : m_output(output)
    , m_inPlace(inPlace)
    , m_columns(columns)
{ }

void ProgressDisplay::show(const QString& status)
{
    if (status == m_shown && (m_lineOpen || !m_inPlace)) {
        return;
    }
    m_shown = status;
    if (!m_inPlace) {
        write(status + QLatin1Char('\n'));
        return;
    }
    write(kRewrite + fitted(status));
    m_lineOpen = true;
}

void ProgressDisplay::print(const QString& line)
{
    finish();
    write(line + QLatin1Char('\n'));
}

void ProgressDisplay::finish()
{
    if (!m_lineOpen) {
        return;
    }
    write(QStringLiteral("\n"));
    m_lineOpen = false;
}

void ProgressDisplay::write(const QString& text)
{
    m_output.write(text.toUtf8());
}

QString ProgressDisplay::fitted(const QString& status) const
{
    // A line that wraps cannot be rewritten with a carriage return; the last
    // column stays free because some terminals wrap on writing it.
    const QString line = status.simplified();
    if (m_columns < 2 || line.size() < m_columns) {
        return line;
    }
    return line.left(m_columns - 2) + QStringLiteral("…");
}
