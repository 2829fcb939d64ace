#include "cli/ProgressDisplay.h"

#include <QBuffer>

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace {

// Steps are statuses to show, except "print:…" (a printed line) and "finish".
struct DisplayCase
{
    const char* name;
    bool terminal;
    int width; // 0: unknown
    std::vector<QString> steps;
    QString written;
};

void PrintTo(const DisplayCase& test, std::ostream* out)
{
    *out << test.name;
}

class ProgressDisplayTest : public ::testing::TestWithParam<DisplayCase>
{
};

TEST_P(ProgressDisplayTest, WritesExactly)
{
    const DisplayCase& test = GetParam();
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    ProgressDisplay display(buffer, test.terminal, test.width);
    for (const QString& step : test.steps) {
        if (step == "finish") {
            display.finish();
        } else if (step.startsWith("print:")) {
            display.print(step.mid(6));
        } else {
            display.show(step);
        }
    }
    EXPECT_EQ(QString::fromUtf8(buffer.data()), test.written);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressDisplayTest,
    ::testing::Values(DisplayCase { "PlainGivesEveryNewStatusItsOwnLine", false, 0,
                          { "Starting capture…", "Starting capture…", "Recording microphone + system audio",
                              "Starting capture…", "finish" },
                          "Starting capture…\nRecording microphone + system audio\nStarting capture…\n" },
        DisplayCase { "PlainDoesNotRepeatAStatusAfterAPrintedLine", false, 0,
            { "Failed", "print:The server could not be reached.", "Failed" },
            "Failed\nThe server could not be reached.\n" },
        DisplayCase { "TerminalRewritesOneLineInPlaceAndEndsItOnce", true, 0,
            { "Uploading…", "Transcribing part 1 of 2…", "Transcribing part 1 of 2…", "finish", "finish" },
            "\r\x1b[KUploading…\r\x1b[KTranscribing part 1 of 2…\n" },
        DisplayCase { "TerminalUnfinishedLineHasNoBreak", true, 0, { "Uploading…" }, "\r\x1b[KUploading…" },
        // The same status after a printed line is shown again below it.
        DisplayCase { "TerminalEndsTheStatusLineBeforeAPrintedLine", true, 0,
            { "Waiting…", "print:Sign in at: https://h.test/", "Waiting…" },
            "\r\x1b[KWaiting…\nSign in at: https://h.test/\n\r\x1b[KWaiting…" },
        DisplayCase { "TerminalLineIsKeptWithinTheWidth", true, 12,
            { "0123456789abcdef", "short", "0123456789a" },
            "\r\x1b[K0123456789…\r\x1b[Kshort\r\x1b[K0123456789a" },
        DisplayCase { "TerminalLineWithALineBreakStaysOnOneRow", true, 0, { "first\nsecond" },
            "\r\x1b[Kfirst second" }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
