#pragma once

// The command line of tallisen-cli: one subcommand and its options, parsed
// into a plain record before anything else runs, so a usage error never
// touches the settings, the keyring or the network.

#include "export/TranscriptExport.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

// What the process returns to the shell.
enum class ExitCode : int
{
    success = 0,
    failure = 1,
    usage = 2
};

// A mistake on the command line; what() is the sentence shown above the usage.
class UsageError : public std::runtime_error
{
public:
    UsageError(const QString& message, QString usage)
        : std::runtime_error(message.toStdString())
        , m_message(message)
        , m_usage(std::move(usage))
    { }

    const QString& message() const { return m_message; }
    // The usage text of the subcommand concerned (or the general one).
    const QString& usage() const { return m_usage; }

private:
    QString m_message;
    QString m_usage;
};

struct CliCommand
{
    enum class Kind
    {
        help,
        signIn,
        signOut,
        status,
        record,
        autoRecord,
        jobs,
        retry,
        withoutSpeakers,
        discard,
        transcripts,
        deleteTranscript,
        show,
        renameSpeaker,
        retitle,
        importFile,
    };

    Kind kind = Kind::help;
    // For help: the subcommand whose help was asked for; absent for the general help.
    std::optional<Kind> helpTopic;
    std::optional<QString> server;
    bool noBrowser = false;
    std::optional<int> seconds;
    std::optional<bool> speakers;
    std::optional<QString> email;
    // Job or transcript id, or a unique beginning of one.
    QString id;
    bool json = false;
    // For show: the format, and the file to write instead of standard output.
    ExportFormat format = ExportFormat::text;
    std::optional<QString> output;
    // After the ID: rename's speaker and new name, or retitle's title.
    QStringList texts;
    // For import: the audio or video file.
    QString file;
};

namespace CliArguments {

// The longest recording --seconds accepts: a day.
constexpr int kMaximumSeconds = 24 * 60 * 60;

// arguments excludes the program name. Throws UsageError.
CliCommand parse(const QStringList& arguments);

// The general usage: every subcommand with its synopsis.
QString usage();
// The help of one subcommand: synopsis, what it does, its options.
QString usage(CliCommand::Kind kind);

} // namespace CliArguments
