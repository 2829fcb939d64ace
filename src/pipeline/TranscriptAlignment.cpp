#include "pipeline/TranscriptAlignment.h"

#include "core/APIClientError.h"

#include <QHash>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>

namespace TranscriptAlignment {

namespace {

const QString kChangedTranscript
    = QStringLiteral("Alignment changed the transcript. Audio and original text are kept.");
const QString kInvalidTimestamps
    = QStringLiteral("Invalid alignment timestamps. Audio and transcript are kept.");
const QString kAlignmentIncomplete = QStringLiteral("Word alignment is not complete.");
const QString kUnsafeOverlap
    = QStringLiteral("Could not safely reconcile overlapping transcription parts. Audio and text are kept. "
                     "Use Transcribe without speakers to recover a continuous transcript.");
const QString kInvertedRange = QStringLiteral("Invalid overlap alignment. Audio is kept.");
const QString kUnassigned = QStringLiteral("Unassigned");

// How far a word may end past the end of its file: aligners round up.
constexpr double kEndToleranceSeconds = 0.25;
// How far apart two files' times for the same word may be.
constexpr double kAnchorToleranceSeconds = 1.0;

bool isAlphanumeric(char32_t codePoint)
{
    switch (QChar::category(codePoint)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Number_DecimalDigit:
    case QChar::Number_Letter:
    case QChar::Number_Other:
        return true;
    default:
        return false;
    }
}

// The comparison key of a word: two files' spellings of the same word
// differ in case and punctuation. Walks code points, not UTF-16 units, so
// letters outside the Basic Multilingual Plane are kept.
QString normalized(const QString& text)
{
    const QString folded = text.normalized(QString::NormalizationForm_KC).toLower();
    QString key;
    key.reserve(folded.size());
    for (qsizetype i = 0; i < folded.size();) {
        qsizetype length = 1;
        char32_t codePoint = folded[i].unicode();
        if (folded[i].isHighSurrogate() && i + 1 < folded.size() && folded[i + 1].isLowSurrogate()) {
            codePoint = QChar::surrogateToUcs4(folded[i], folded[i + 1]);
            length = 2;
        }
        if (isAlphanumeric(codePoint)) {
            key.append(QStringView(folded).mid(i, length));
        }
        i += length;
    }
    return key;
}

// One chunk's words on the recording's timeline, the range of them that
// survives the overlap reconciliation, and their lazily made keys.
struct TimelineChunk
{
    std::vector<AlignedWord> words;
    double fileStart = 0;
    double fileEnd = 0;
    double coreStart = 0;
    size_t keepFrom = 0;
    size_t keepTo = 0;
    std::vector<std::optional<QString>> keys;

    const QString& key(size_t index)
    {
        if (!keys[index]) {
            keys[index] = normalized(words[index].text);
        }
        return *keys[index];
    }
};

TimelineChunk timelineChunk(const AudioChunk& chunk)
{
    if (!chunk.words) {
        throw APIClientError(kAlignmentIncomplete);
    }
    validate(*chunk.words, chunk.text.value_or(QString()), chunk.fileDuration());
    TimelineChunk result {
        .words = *chunk.words,
        .fileStart = chunk.fileStart(),
        .fileEnd = chunk.fileEnd(),
        .coreStart = chunk.start,
        .keepFrom = 0,
        .keepTo = chunk.words->size(),
        .keys = std::vector<std::optional<QString>>(chunk.words->size()),
    };
    for (AlignedWord& word : result.words) {
        if (word.start) {
            *word.start += result.fileStart;
        }
        if (word.end) {
            *word.end += result.fileStart;
        }
    }
    return result;
}

bool startsWithin(const AlignedWord& word, double from, double to)
{
    return word.start && from <= *word.start && *word.start <= to;
}

bool closeInTime(double a, const std::optional<double>& b)
{
    return b && std::abs(a - *b) < kAnchorToleranceSeconds;
}

struct Anchor
{
    size_t previousIndex = 0;
    size_t currentIndex = 0;
};

// The matching pair of consecutive words nearest the core boundary. Time
// tests run before any key is made: only words in the shared region pass.
std::optional<Anchor> findAnchor(
    TimelineChunk& previous, TimelineChunk& current, double regionStart, double regionEnd)
{
    std::optional<Anchor> best;
    double bestScore = 0;
    for (size_t j = std::max<size_t>(previous.keepFrom, 1); j < previous.words.size(); ++j) {
        const AlignedWord& word = previous.words[j];
        const AlignedWord& before = previous.words[j - 1];
        if (!startsWithin(word, regionStart, regionEnd) || !before.start || *before.start < regionStart) {
            continue;
        }
        const double t = *word.start;
        for (size_t k = 1; k < current.words.size(); ++k) {
            const AlignedWord& other = current.words[k];
            const AlignedWord& otherBefore = current.words[k - 1];
            if (!closeInTime(t, other.start) || !closeInTime(*before.start, otherBefore.start)
                || *otherBefore.start < regionStart) {
                continue;
            }
            const double score = std::abs(t - current.coreStart);
            if (best && !(score < bestScore)) {
                continue;
            }
            const QString& key = previous.key(j);
            const QString& keyBefore = previous.key(j - 1);
            if (key.isEmpty() || keyBefore.isEmpty() || key != current.key(k)
                || keyBefore != current.key(k - 1)) {
                continue;
            }
            best = Anchor { j, k };
            bestScore = score;
        }
    }
    return best;
}

bool spokeWithin(const std::vector<AlignedWord>& words, double regionStart, double regionEnd)
{
    return std::any_of(words.begin(), words.end(), [&](const AlignedWord& word) {
        return word.start && word.end && *word.end > regionStart && *word.start < regionEnd;
    });
}

// Without an anchor the boundary is safe only when nobody spoke in the
// shared region, which untimed edge words leave unknowable.
void requireSilence(
    const TimelineChunk& previous, const TimelineChunk& current, double regionStart, double regionEnd)
{
    const bool untimedEdge = (!previous.words.empty() && !previous.words.back().start)
        || (!current.words.empty() && !current.words.front().start);
    if (untimedEdge || spokeWithin(previous.words, regionStart, regionEnd)
        || spokeWithin(current.words, regionStart, regionEnd)) {
        throw APIClientError(kUnsafeOverlap);
    }
}

void reconcile(TimelineChunk& previous, TimelineChunk& current)
{
    const double regionStart = current.fileStart;
    const double regionEnd = previous.fileEnd;
    if (!(regionStart < regionEnd)) {
        return;
    }
    if (previous.words.size() >= 2 && current.words.size() >= 2) {
        if (const auto anchor = findAnchor(previous, current, regionStart, regionEnd)) {
            previous.keepTo = anchor->previousIndex + 1;
            current.keepFrom = anchor->currentIndex + 1;
            return;
        }
    }
    requireSilence(previous, current, regionStart, regionEnd);
}

// Finds, for a word, the first segment in list order that covers more than
// half of it, without scanning every segment for every word: a centred
// interval tree yields just the segments that intersect the word.
class SegmentIndex
{
public:
    explicit SegmentIndex(const std::vector<SpeakerSegment>& segments)
        : m_segments(segments)
    {
        std::vector<size_t> ids;
        for (size_t i = 0; i < segments.size(); ++i) {
            // An empty, inverted or NaN segment can never cover half a word.
            if (segments[i].start < segments[i].end) {
                ids.push_back(i);
            }
        }
        m_root = build(std::move(ids));
    }

    std::optional<size_t> covering(double start, double end) const
    {
        if (!(start < end)) {
            return std::nullopt;
        }
        std::optional<size_t> best;
        visit(m_root, start, end, best);
        return best;
    }

private:
    struct Node
    {
        double center = 0;
        std::vector<size_t> byStart; // segments containing center, ascending start
        std::vector<size_t> byEnd; // the same, descending end
        int left = -1;
        int right = -1;
    };

    int build(std::vector<size_t> ids)
    {
        if (ids.empty()) {
            return -1;
        }
        const auto middle = ids.begin() + static_cast<std::ptrdiff_t>(ids.size() / 2);
        std::nth_element(ids.begin(), middle, ids.end(),
            [&](size_t a, size_t b) { return m_segments[a].start < m_segments[b].start; });
        Node node;
        node.center = m_segments[*middle].start;
        std::vector<size_t> left;
        std::vector<size_t> right;
        for (size_t id : ids) {
            const SpeakerSegment& segment = m_segments[id];
            if (segment.end < node.center) {
                left.push_back(id);
            } else if (segment.start > node.center) {
                right.push_back(id);
            } else {
                node.byStart.push_back(id);
            }
        }
        node.byEnd = node.byStart;
        std::sort(node.byStart.begin(), node.byStart.end(),
            [&](size_t a, size_t b) { return m_segments[a].start < m_segments[b].start; });
        std::sort(node.byEnd.begin(), node.byEnd.end(),
            [&](size_t a, size_t b) { return m_segments[a].end > m_segments[b].end; });
        const int index = static_cast<int>(m_nodes.size());
        m_nodes.push_back(std::move(node));
        const int leftChild = build(std::move(left));
        const int rightChild = build(std::move(right));
        m_nodes[static_cast<size_t>(index)].left = leftChild;
        m_nodes[static_cast<size_t>(index)].right = rightChild;
        return index;
    }

    void consider(size_t id, double start, double end, std::optional<size_t>& best) const
    {
        if (best && *best < id) {
            return;
        }
        const SpeakerSegment& segment = m_segments[id];
        const double overlap = std::min(end, segment.end) - std::max(start, segment.start);
        if (overlap > (end - start) * 0.5) {
            best = id;
        }
    }

    void visit(int index, double start, double end, std::optional<size_t>& best) const
    {
        if (index < 0) {
            return;
        }
        const Node& node = m_nodes[static_cast<size_t>(index)];
        if (end <= node.center) {
            for (size_t id : node.byStart) {
                if (!(m_segments[id].start < end)) {
                    break;
                }
                consider(id, start, end, best);
            }
            visit(node.left, start, end, best);
            return;
        }
        if (start >= node.center) {
            for (size_t id : node.byEnd) {
                if (!(m_segments[id].end > start)) {
                    break;
                }
                consider(id, start, end, best);
            }
            visit(node.right, start, end, best);
            return;
        }
        for (size_t id : node.byStart) {
            consider(id, start, end, best);
        }
        visit(node.left, start, end, best);
        visit(node.right, start, end, best);
    }

    const std::vector<SpeakerSegment>& m_segments;
    std::vector<Node> m_nodes;
    int m_root = -1;
};

// "Speaker N" for each segment, N counting distinct labels in order of
// first appearance in the list.
std::vector<QString> speakerNames(const std::vector<SpeakerSegment>& segments)
{
    QHash<QString, QString> nameOfLabel;
    std::vector<QString> names;
    names.reserve(segments.size());
    for (const SpeakerSegment& segment : segments) {
        auto found = nameOfLabel.constFind(segment.speaker);
        if (found == nameOfLabel.constEnd()) {
            found = nameOfLabel.insert(
                segment.speaker, QStringLiteral("Speaker %1").arg(nameOfLabel.size() + 1));
        }
        names.push_back(*found);
    }
    return names;
}

struct Line
{
    QString speaker;
    std::optional<double> start;
    QString text;
};

void addWord(std::vector<Line>& lines, const QString& speaker, const AlignedWord& word)
{
    if (!lines.empty() && lines.back().speaker == speaker
        && lines.back().start.has_value() == word.start.has_value()) {
        QString& text = lines.back().text;
        if (word.text.isEmpty() || !word.text.front().isSpace()) {
            text += QLatin1Char(' ');
        }
        text += word.text;
        return;
    }
    lines.push_back(Line { speaker, word.start, word.text.trimmed() });
}

QString rendered(const std::vector<Line>& lines)
{
    QStringList paragraphs;
    paragraphs.reserve(static_cast<qsizetype>(lines.size()));
    for (const Line& line : lines) {
        const QString time = line.start ? QStringLiteral("[%1]").arg(timeStamp(*line.start))
                                        : QStringLiteral("[time unavailable]");
        paragraphs.append(time + QLatin1Char(' ') + line.speaker + QStringLiteral(": ") + line.text);
    }
    return paragraphs.join(QStringLiteral("\n\n"));
}

} // namespace

void validate(const std::vector<AlignedWord>& words, const QString& text, double duration)
{
    QString joined;
    for (const AlignedWord& word : words) {
        joined += word.text;
    }
    if (joined.trimmed() != text.trimmed()) {
        throw APIClientError(kChangedTranscript);
    }
    double previousStart = 0.0;
    for (const AlignedWord& word : words) {
        if (!word.start) {
            if (word.end) {
                throw APIClientError(kInvalidTimestamps);
            }
            continue;
        }
        const double start = *word.start;
        const bool valid = std::isfinite(start) && word.end && std::isfinite(*word.end)
            && previousStart <= start && start < *word.end && *word.end <= duration + kEndToleranceSeconds;
        if (!valid) {
            throw APIClientError(kInvalidTimestamps);
        }
        previousStart = start;
    }
}

QString merged(const std::vector<AudioChunk>& chunks, const std::vector<SpeakerSegment>& speakers)
{
    std::vector<TimelineChunk> timeline;
    timeline.reserve(chunks.size());
    for (const AudioChunk& chunk : chunks) {
        timeline.push_back(timelineChunk(chunk));
    }
    for (size_t i = 1; i < timeline.size(); ++i) {
        reconcile(timeline[i - 1], timeline[i]);
    }

    const SegmentIndex index(speakers);
    const std::vector<QString> names = speakerNames(speakers);
    std::vector<Line> lines;
    for (const TimelineChunk& chunk : timeline) {
        if (chunk.keepTo < chunk.keepFrom) {
            throw APIClientError(kInvertedRange);
        }
        for (size_t i = chunk.keepFrom; i < chunk.keepTo; ++i) {
            const AlignedWord& word = chunk.words[i];
            std::optional<size_t> segment;
            if (word.start && word.end) {
                segment = index.covering(*word.start, *word.end);
            }
            addWord(lines, segment ? names[*segment] : kUnassigned, word);
        }
    }
    return rendered(lines);
}

QString timeStamp(double seconds)
{
    // Only corrupt records give times beyond the 64-bit range; clamp them
    // rather than overflow the conversion.
    constexpr double kLimit = 9.2e18;
    const double truncated = std::trunc(seconds);
    const qint64 whole
        = std::isnan(truncated) ? 0 : static_cast<qint64>(std::clamp(truncated, -kLimit, kLimit));
    return QString::asprintf("%02lld:%02lld:%02lld", whole / 3600, (whole / 60) % 60, whole % 60);
}

} // namespace TranscriptAlignment
