#include "cli/ProgressDisplay.h"

#include <QBuffer>

#include <gtest/gtest.h>

namespace {

class ProgressDisplayTest : public ::testing::Test
{
protected:
    void SetUp() override { m_buffer.open(QIODevice::WriteOnly); }
    QString written() const { return QString::fromUtf8(m_buffer.data()); }

    QBuffer m_buffer;
};

TEST_F(ProgressDisplayTest, PlainOutputGivesEveryNewStatusItsOwnLine)
{
    ProgressDisplay display(m_buffer, false);
    display.show("Starting capture…");
    display.show("Starting capture…");
    display.show("Recording microphone + system audio");
    display.show("Starting capture…");
    display.finish();
    EXPECT_EQ(written(), "Starting capture…\nRecording microphone + system audio\nStarting capture…\n");
}

TEST_F(ProgressDisplayTest, PlainOutputDoesNotRepeatAStatusAfterAPrintedLine)
{
    ProgressDisplay display(m_buffer, false);
    display.show("Failed");
    display.print("The server could not be reached.");
    display.show("Failed");
    EXPECT_EQ(written(), "Failed\nThe server could not be reached.\n");
}

TEST_F(ProgressDisplayTest, TerminalRewritesOneLineInPlace)
{
    ProgressDisplay display(m_buffer, true);
    display.show("Uploading…");
    display.show("Transcribing part 1 of 2…");
    display.show("Transcribing part 1 of 2…");
    EXPECT_EQ(written(), "\r\x1b[KUploading…\r\x1b[KTranscribing part 1 of 2…");
    display.finish();
    display.finish();
    EXPECT_EQ(written(), "\r\x1b[KUploading…\r\x1b[KTranscribing part 1 of 2…\n");
}

TEST_F(ProgressDisplayTest, TerminalEndsTheStatusLineBeforeAPrintedLine)
{
    ProgressDisplay display(m_buffer, true);
    display.show("Waiting for Google sign-in…");
    display.print("Sign in at: https://h.test/");
    // The same status again after the printed line is shown again below it.
    display.show("Waiting for Google sign-in…");
    EXPECT_EQ(written(),
        "\r\x1b[KWaiting for Google sign-in…\nSign in at: https://h.test/\n\r\x1b[KWaiting for Google "
        "sign-in…");
}

TEST_F(ProgressDisplayTest, TerminalLineIsKeptWithinTheWidth)
{
    ProgressDisplay display(m_buffer, true, 12);
    display.show("0123456789abcdef");
    display.show("short");
    display.show("0123456789a");
    EXPECT_EQ(written(), "\r\x1b[K0123456789…\r\x1b[Kshort\r\x1b[K0123456789a");
}

TEST_F(ProgressDisplayTest, TerminalLineWithALineBreakStaysOnOneRow)
{
    ProgressDisplay display(m_buffer, true);
    display.show("first\nsecond");
    EXPECT_EQ(written(), "\r\x1b[Kfirst second");
}

} // namespace
