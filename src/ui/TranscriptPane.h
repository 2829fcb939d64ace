#pragma once

// The reading pane beside the transcript list: the selected transcript's
// speaker turns with their times, find (Ctrl+F), copy (Ctrl+C copies all
// when nothing is selected), export to a file and renaming a speaker. Lives
// on the main thread; it holds a copy of the recording the list gave it.

#include "api/WireRecords.h"
#include "export/TranscriptExport.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <optional>

class AppModel;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextBrowser;

class TranscriptPane : public QWidget
{
    Q_OBJECT

public:
    explicit TranscriptPane(AppModel& model, QWidget* parent = nullptr);

    void setRecording(const Recording& recording);
    const std::optional<Recording>& recording() const { return m_recording; }

    QTextBrowser* reader() const { return m_reader; }
    QLineEdit* findField() const { return m_findField; }
    // The export error currently shown, if any.
    QMessageBox* errorAlert() const { return m_errorAlert; }

    void showFindBar();
    void findNext();
    void findPrevious();
    // The selection, or the whole transcript as stored when nothing is selected.
    void copy();
    // Asks for a file and a format, then exports.
    void chooseExport();
    // Writes the file; a failure is shown in a message box.
    void exportAs(ExportFormat format, const QString& path);
    // Asks which speaker and the new name, then has the model rename it.
    void chooseRename();

signals:
    void closeRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildFindBar();
    void render();
    void highlightMatches();
    void find(bool backward);
    void updateButtons();

    AppModel& m_model;
    std::optional<Recording> m_recording;
    QLabel* m_title = nullptr;
    QLabel* m_details = nullptr;
    QPushButton* m_renameButton = nullptr;
    QPushButton* m_exportButton = nullptr;
    QTextBrowser* m_reader = nullptr;
    QWidget* m_findBar = nullptr;
    QLineEdit* m_findField = nullptr;
    QLabel* m_findCount = nullptr;
    QPointer<QMessageBox> m_errorAlert;
};
