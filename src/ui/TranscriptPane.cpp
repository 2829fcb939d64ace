#include "ui/TranscriptPane.h"

#include "export/TranscriptTurns.h"
#include "model/AppModel.h"
#include "pipeline/TranscriptAlignment.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

#include <QCoroTask>

namespace {

struct FileChoice
{
    ExportFormat format;
    const char* filter;
    const char* suffix;
};

const FileChoice kFileChoices[] {
    { ExportFormat::text, "Text (*.txt)", "txt" },
    { ExportFormat::markdown, "Markdown (*.md)", "md" },
    { ExportFormat::srt, "SubRip subtitles (*.srt)", "srt" },
    { ExportFormat::vtt, "WebVTT subtitles (*.vtt)", "vtt" },
    { ExportFormat::json, "JSON (*.json)", "json" },
};

QString paragraphHtml(const TranscriptTurn& turn, const QString& timeColor)
{
    const QString words = turn.text.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    if (!turn.speaker) {
        return QStringLiteral("<p>%1</p>").arg(words);
    }
    const QString time
        = turn.start ? TranscriptAlignment::timeStamp(*turn.start) : QObject::tr("time unavailable");
    return QStringLiteral("<p><b>%1</b>&nbsp;&nbsp;<span style=\"color:%2\">%3</span><br>%4</p>")
        .arg(turn.speaker->toHtmlEscaped(), timeColor, time, words);
}

// A file name from the title, without the characters file systems refuse.
QString suggestedName(const QString& title)
{
    QString name = title.simplified();
    name.replace(QRegularExpression(QStringLiteral(R"([/\\:*?"<>|])")), QStringLiteral("-"));
    return name.isEmpty() ? QStringLiteral("Transcript") : name;
}

} // namespace

TranscriptPane::TranscriptPane(AppModel& model, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(buildHeader());
    layout->addWidget(buildFindBar());

    m_reader = new QTextBrowser(this);
    m_reader->setOpenLinks(false);
    m_reader->installEventFilter(this);
    QFont readable = m_reader->font();
    readable.setPointSizeF(readable.pointSizeF() * 1.1);
    m_reader->document()->setDefaultFont(readable);
    m_reader->document()->setDocumentMargin(12);
    layout->addWidget(m_reader, 1);

    auto* findAction = new QAction(this);
    findAction->setShortcut(QKeySequence::Find);
    findAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(findAction, &QAction::triggered, this, &TranscriptPane::showFindBar);
    addAction(findAction);
    auto* copyAction = new QAction(this);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copyAction, &QAction::triggered, this, &TranscriptPane::copy);
    addAction(copyAction);

    connect(&m_model, &AppModel::isBusyChanged, this, &TranscriptPane::updateButtons);
    updateButtons();
}

QWidget* TranscriptPane::buildHeader()
{
    auto* header = new QWidget(this);
    auto* layout = new QHBoxLayout(header);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* titles = new QVBoxLayout;
    m_title = new QLabel(header);
    QFont headline = m_title->font();
    headline.setBold(true);
    headline.setPointSizeF(headline.pointSizeF() * 1.3);
    m_title->setFont(headline);
    m_title->setWordWrap(true);
    titles->addWidget(m_title);
    m_details = new QLabel(header);
    m_details->setForegroundRole(QPalette::PlaceholderText);
    titles->addWidget(m_details);
    layout->addLayout(titles, 1);

    m_renameButton = new QPushButton(tr("Rename speaker…"), header);
    connect(m_renameButton, &QPushButton::clicked, this, &TranscriptPane::chooseRename);
    layout->addWidget(m_renameButton);
    m_exportButton = new QPushButton(tr("Export…"), header);
    connect(m_exportButton, &QPushButton::clicked, this, &TranscriptPane::chooseExport);
    layout->addWidget(m_exportButton);
    auto* close = new QToolButton(header);
    close->setIcon(QIcon::fromTheme(QStringLiteral("window-close")));
    close->setText(tr("Close"));
    close->setToolTip(tr("Close the transcript"));
    connect(close, &QToolButton::clicked, this, &TranscriptPane::closeRequested);
    layout->addWidget(close);
    return header;
}

QWidget* TranscriptPane::buildFindBar()
{
    m_findBar = new QWidget(this);
    auto* layout = new QHBoxLayout(m_findBar);
    layout->setContentsMargins(0, 0, 0, 0);
    m_findField = new QLineEdit(m_findBar);
    m_findField->setPlaceholderText(tr("Find in transcript"));
    m_findField->setClearButtonEnabled(true);
    m_findField->installEventFilter(this);
    connect(m_findField, &QLineEdit::textChanged, this, [this] {
        highlightMatches();
        m_reader->moveCursor(QTextCursor::Start);
        findNext();
    });
    layout->addWidget(m_findField, 1);
    m_findCount = new QLabel(m_findBar);
    layout->addWidget(m_findCount);
    auto* previous = new QPushButton(tr("Previous"), m_findBar);
    connect(previous, &QPushButton::clicked, this, &TranscriptPane::findPrevious);
    layout->addWidget(previous);
    auto* next = new QPushButton(tr("Next"), m_findBar);
    connect(next, &QPushButton::clicked, this, &TranscriptPane::findNext);
    layout->addWidget(next);
    auto* done = new QPushButton(tr("Done"), m_findBar);
    connect(done, &QPushButton::clicked, m_findBar, &QWidget::hide);
    layout->addWidget(done);
    m_findBar->hide();
    return m_findBar;
}

void TranscriptPane::setRecording(const Recording& recording)
{
    if (m_recording == recording) {
        return;
    }
    m_recording = recording;
    m_title->setText(recording.title);
    QString details = recording.recordedAt.toLocalText();
    if (recording.category) {
        details += QStringLiteral(" · ") + *recording.category;
    }
    m_details->setText(details);
    render();
    highlightMatches();
    updateButtons();
}

void TranscriptPane::render()
{
    const QString timeColor = palette().color(QPalette::PlaceholderText).name();
    QString html;
    for (const TranscriptTurn& turn : TranscriptTurns::parsed(m_recording->transcript)) {
        html += paragraphHtml(turn, timeColor);
    }
    m_reader->setHtml(html);
}

void TranscriptPane::updateButtons()
{
    const bool hasSpeakers = m_recording && !TranscriptTurns::speakerNames(m_recording->transcript).isEmpty();
    m_renameButton->setEnabled(hasSpeakers && !m_model.isBusy());
    m_exportButton->setEnabled(m_recording.has_value());
}

void TranscriptPane::showFindBar()
{
    m_findBar->show();
    m_findField->setFocus(Qt::ShortcutFocusReason);
    m_findField->selectAll();
}

void TranscriptPane::findNext()
{
    find(false);
}

void TranscriptPane::findPrevious()
{
    find(true);
}

void TranscriptPane::find(bool backward)
{
    const QString term = m_findField->text();
    if (term.isEmpty()) {
        return;
    }
    const QTextDocument::FindFlags flags
        = backward ? QTextDocument::FindBackward : QTextDocument::FindFlags();
    if (m_reader->find(term, flags)) {
        return;
    }
    // Wrap around from the other end.
    m_reader->moveCursor(backward ? QTextCursor::End : QTextCursor::Start);
    m_reader->find(term, flags);
}

void TranscriptPane::highlightMatches()
{
    QList<QTextEdit::ExtraSelection> matches;
    const QString term = m_findField->text();
    QTextCharFormat format;
    format.setBackground(palette().color(QPalette::Highlight).lighter(160));
    for (QTextCursor cursor = m_reader->document()->find(term); !term.isEmpty() && !cursor.isNull();
         cursor = m_reader->document()->find(term, cursor)) {
        matches.append(QTextEdit::ExtraSelection { cursor, format });
    }
    m_reader->setExtraSelections(matches);
    if (term.isEmpty()) {
        m_findCount->clear();
    } else if (matches.size() == 1) {
        m_findCount->setText(tr("1 match"));
    } else {
        m_findCount->setText(matches.isEmpty() ? tr("No matches") : tr("%1 matches").arg(matches.size()));
    }
}

void TranscriptPane::copy()
{
    if (m_reader->textCursor().hasSelection()) {
        m_reader->copy();
        return;
    }
    if (m_recording) {
        QGuiApplication::clipboard()->setText(m_recording->transcript);
    }
}

bool TranscriptPane::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress) {
        return QWidget::eventFilter(watched, event);
    }
    auto* key = static_cast<QKeyEvent*>(event);
    if (watched == m_reader && key->matches(QKeySequence::Copy)) {
        copy();
        return true;
    }
    // Also here, for when the window is not active and shortcuts do not fire.
    if (watched == m_reader && key->matches(QKeySequence::Find)) {
        showFindBar();
        return true;
    }
    if (watched == m_findField && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
        find(key->modifiers().testFlag(Qt::ShiftModifier));
        return true;
    }
    if (watched == m_findField && key->key() == Qt::Key_Escape) {
        m_findBar->hide();
        m_reader->setFocus();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TranscriptPane::chooseExport()
{
    if (!m_recording) {
        return;
    }
    QStringList filters;
    for (const FileChoice& choice : kFileChoices) {
        filters.append(tr(choice.filter));
    }
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QString selected = filters.first();
    QString path = QFileDialog::getSaveFileName(this, tr("Export transcript"),
        QDir(folder).filePath(suggestedName(m_recording->title) + QStringLiteral(".txt")),
        filters.join(QStringLiteral(";;")), &selected);
    if (path.isEmpty()) {
        return;
    }
    const FileChoice& choice = kFileChoices[std::max<qsizetype>(0, filters.indexOf(selected))];
    if (QFileInfo(path).suffix().isEmpty()) {
        path += QLatin1Char('.') + QLatin1String(choice.suffix);
    }
    exportAs(choice.format, path);
}

void TranscriptPane::exportAs(ExportFormat format, const QString& path)
{
    try {
        TranscriptExport::exportTo(*m_recording, format, path);
    } catch (const std::exception& error) {
        auto* alert = new QMessageBox(QMessageBox::Warning, tr("Export failed"),
            QString::fromStdString(error.what()), QMessageBox::Ok, this);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        m_errorAlert = alert;
        alert->open();
    }
}

void TranscriptPane::chooseRename()
{
    if (!m_recording) {
        return;
    }
    const QStringList speakers = TranscriptTurns::speakerNames(m_recording->transcript);
    bool ok = speakers.size() == 1;
    const QString from = ok
        ? speakers.first()
        : QInputDialog::getItem(this, tr("Rename speaker"), tr("Speaker:"), speakers, 0, false, &ok);
    if (!ok) {
        return;
    }
    const QString to = QInputDialog::getText(
        this, tr("Rename speaker"), tr("New name for %1:").arg(from), QLineEdit::Normal, from, &ok);
    if (!ok || to.trimmed() == from) {
        return;
    }
    // The model's operations report their own errors (an invalid name too).
    QCoro::connect(m_model.renameSpeaker(*m_recording, from, to), this, [] {});
}
