#include "ui/ContentView.h"

#include "api/KeychainStore.h"
#include "support/AppFixtures.h"
#include "support/TemporaryXdg.h"

#include "Screenshot.h"
#include "Widgets.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

#include <gtest/gtest.h>

using namespace AppFixtures;

namespace {

const std::string kPlanning = "6BA7B810-9DAD-11D1-80B4-00C04FD430C8";
const std::string kStandup = "6BA7B811-9DAD-11D1-80B4-00C04FD430C8";
const QString kTranscript = "[00:00:02] Speaker 1: Hello there, welcome to planning.\n\n"
                            "[00:01:05] Speaker 2: Thanks. The budget first.\n\n"
                            "[time unavailable] Speaker 1: Agreed, the budget.";

class TranscriptPaneTest : public ::testing::Test
{
protected:
    TranscriptPaneTest()
    {
        KeychainStore::saveToken(QStringLiteral("ui-test-token"), m_server.baseURL());
        scriptList(m_server,
            { recordingJson(kPlanning, "Planning", { { "transcript", kTranscript.toStdString() } }),
                recordingJson(kStandup, "Standup") });
    }

    QWidget* row(ContentView& view, const std::string& id)
    {
        return view.findChild<QWidget*>("recording-" + QString::fromStdString(id).toLower());
    }

    TemporaryXdg m_xdg;
    FakeServer m_server;
    SignedOut m_signedOut { m_server.baseURL() };
};

// The reading pane's text as a reader sees it: a line per speaker heading.
QString shownText(const QTextBrowser& reader)
{
    return reader.toPlainText().replace(QChar::Nbsp, ' ').replace(QChar::LineSeparator, '\n');
}

} // namespace

TEST_F(TranscriptPaneTest, ClickedTranscriptShowsItsTurnsAndFindsCopiesAndFilters)
{
    QuietModel model;
    ContentView view(model);
    view.resize(1100, 700);
    view.show();
    // Shortcuts and focus want the active window; under Xvfb without a window
    // manager activation may never come, so only exposure is awaited.
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.recordings().size() == 2 && !model.isBusy(); }, 10000));
    EXPECT_EQ(view.transcriptPane(), nullptr);

    QTest::mouseClick(row(view, kPlanning), Qt::LeftButton, {}, QPoint(4, 4));
    TranscriptPane* pane = view.transcriptPane();
    ASSERT_NE(pane, nullptr);
    ASSERT_TRUE(pane->isVisible());
    QTextBrowser* reader = pane->reader();
    EXPECT_EQ(shownText(*reader),
        "Speaker 1  00:00:02\nHello there, welcome to planning.\n"
        "Speaker 2  00:01:05\nThanks. The budget first.\n"
        "Speaker 1  time unavailable\nAgreed, the budget.");
    QTextCursor speaker = reader->document()->find("Speaker 2");
    EXPECT_EQ(speaker.charFormat().fontWeight(), QFont::Bold);
    EXPECT_TRUE(childWithText<QPushButton>(*pane, "Rename speaker…")->isEnabled());

    reader->setFocus();
    QTest::keyClick(reader, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), kTranscript) << "nothing selected copies it all";

    QTest::keyClick(reader, Qt::Key_F, Qt::ControlModifier);
    QLineEdit* find = pane->findField();
    ASSERT_TRUE(find->isVisible());
    EXPECT_TRUE(find->hasFocus());
    QTest::keyClicks(find, "BUDGET");
    EXPECT_EQ(reader->extraSelections().size(), 2) << "every match is highlighted";
    const int first = reader->textCursor().selectionStart();
    EXPECT_EQ(reader->textCursor().selectedText(), "budget");
    QTest::keyClick(find, Qt::Key_Return);
    EXPECT_GT(reader->textCursor().selectionStart(), first);
    QTest::keyClick(find, Qt::Key_Return);
    EXPECT_EQ(reader->textCursor().selectionStart(), first) << "the search wraps around";
    QTest::keyClick(find, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_GT(reader->textCursor().selectionStart(), first) << "Shift+Return goes back, wrapping";
    screenshot(view, "transcript-pane");
    reader->setFocus();
    QTest::keyClick(reader, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "budget") << "a selection copies only itself";

    const struct
    {
        QString filter;
        bool planning;
        bool standup;
    } filters[] = { { "stand", false, true }, { "WELCOME", true, false }, { "nowhere", false, false },
        { "", true, true } };
    for (const auto& test : filters) {
        SCOPED_TRACE(test.filter.toStdString());
        view.transcriptFilter()->setText(test.filter);
        EXPECT_EQ(row(view, kPlanning)->isVisibleTo(&view), test.planning);
        EXPECT_EQ(row(view, kStandup)->isVisibleTo(&view), test.standup);
    }

    QTest::mouseClick(row(view, kStandup), Qt::LeftButton, {}, QPoint(4, 4));
    EXPECT_EQ(shownText(*reader), "Hello there.");
    EXPECT_FALSE(childWithText<QPushButton>(*pane, "Rename speaker…")->isEnabled()) << "no speakers";

    scriptList(
        m_server, { recordingJson(kPlanning, "Planning", { { "transcript", kTranscript.toStdString() } }) });
    view.refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model.recordings().size() == 1 && !model.isBusy(); }, 10000));
    EXPECT_FALSE(pane->isVisible()) << "a transcript deleted elsewhere closes its pane";
}

TEST_F(TranscriptPaneTest, ExportWritesTheFileOrShowsWhyItCouldNot)
{
    QuietModel model;
    TranscriptPane pane(model);
    pane.setRecording(Recording { .id = QUuid(QString::fromStdString(kPlanning)),
        .title = "Planning",
        .transcript = kTranscript,
        .languageCodes = { "en" },
        .recordedAt = Date::now(),
        .createdAt = Date::now() });
    QTemporaryDir folder;

    pane.exportAs(ExportFormat::markdown, folder.filePath("planning.md"));
    QFile written(folder.filePath("planning.md"));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().startsWith("# Planning\n"));
    EXPECT_EQ(pane.errorAlert(), nullptr);

    const QString unwritable = folder.filePath("missing/planning.srt");
    pane.exportAs(ExportFormat::srt, unwritable);
    ASSERT_NE(pane.errorAlert(), nullptr);
    EXPECT_TRUE(pane.errorAlert()->text().contains(unwritable)) << pane.errorAlert()->text().toStdString();
}
