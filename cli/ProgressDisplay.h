#pragma once

// Shows the model's status as it changes. On a terminal the status line is
// rewritten in place; anywhere else (a pipe, a file, a log) every new status
// becomes its own line, so scripts can follow the steps.

#include <QIODevice>
#include <QString>

class ProgressDisplay
{
public:
    // columns: the terminal's width, used to keep an in-place line on one
    // row; 0 when unknown.
    ProgressDisplay(QIODevice& output, bool inPlace, int columns = 0);
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Shows status unless it is the one already shown.
    void show(const QString& status);
    // Prints a lasting line below the status (in place, the status line is
    // ended first, so the text never mixes with it).
    void print(const QString& line);
    // Ends an in-place status line so later output starts on a new row.
    void finish();

private:
    void write(const QString& text);
    QString fitted(const QString& status) const;

    QIODevice& m_output;
    bool m_inPlace;
    int m_columns;
    QString m_shown;
    bool m_lineOpen = false;
};
