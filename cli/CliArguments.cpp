#include "cli/CliArguments.h"

#include "model/AppModel.h"

#include <QRegularExpression>

#include <array>

namespace {

using Kind = CliCommand::Kind;

struct Subcommand
{
    Kind kind;
    const char* name;
    const char* synopsis;
    const char* description;
    const char* options;
};

// clang-format off
const std::array kSubcommands {
    Subcommand { Kind::signIn, "signin", "signin [--server URL] [--no-browser]",
        "Signs in: prints the sign-in address, opens it in the browser and waits\n"
        "until the sign-in is completed there.",
        "  --server URL    use this server from now on (http or https)\n"
        "  --no-browser    only print the address; open it on any device yourself\n" },
    Subcommand { Kind::signOut, "signout", "signout",
        "Signs out and forgets the stored token. Saved recordings stay.", "" },
    Subcommand { Kind::status, "status", "status",
        "Shows the server, the sign-in state, the settings and the number of\n"
        "saved recordings waiting for transcription.", "" },
    Subcommand { Kind::record, "record", "record [--seconds N] [--speakers|--no-speakers] [--email ADDR]",
        "Records the computer's sound and the microphone until Enter, Ctrl+C or\n"
        "N seconds, then transcribes the recording and saves the transcript on\n"
        "the server, showing each step. A recording that cannot be transcribed\n"
        "is kept; see 'jobs' and 'retry'.",
        "  --seconds N     stop by itself after N seconds\n"
        "  --speakers      detect who is speaking (this recording only)\n"
        "  --no-speakers   no speaker detection (this recording only)\n"
        "  --email ADDR    e-mail the transcript to ADDR (this recording only;\n"
        "                  an empty ADDR sends no e-mail)\n" },
    Subcommand { Kind::autoRecord, "auto", "auto",
        "Runs automatic recording in the foreground: records whenever another\n"
        "program uses the microphone and transcribes when it stops. Ends with\n"
        "Ctrl+C, finishing a recording in progress first.", "" },
    Subcommand { Kind::jobs, "jobs", "jobs",
        "Lists the saved recordings waiting for transcription.", "" },
    Subcommand { Kind::retry, "retry", "retry ID",
        "Continues transcribing a saved recording where it stopped.", "" },
    Subcommand { Kind::withoutSpeakers, "without-speakers", "without-speakers ID",
        "Transcribes a saved recording again from the start without speaker\n"
        "detection. The earlier progress is kept in a backup file.", "" },
    Subcommand { Kind::discard, "discard", "discard ID",
        "Moves a saved recording to the Trash.", "" },
    Subcommand { Kind::transcripts, "transcripts", "transcripts [--json]",
        "Lists your transcripts on the server, newest first as the server sends them.",
        "  --json          print them as a JSON array, transcript text included\n" },
    Subcommand { Kind::deleteTranscript, "delete", "delete ID",
        "Deletes a transcript from the server.", "" },
    Subcommand { Kind::show, "show", "show ID [--format text|markdown|srt|vtt|json] [--output FILE]",
        "Prints a transcript, or writes it to a file, as text, Markdown, SubRip\n"
        "or WebVTT subtitles, or JSON with its speaker turns.",
        "  --format F      text (the default), markdown, srt, vtt or json\n"
        "  --output FILE   write FILE (owner-only) instead of printing\n" },
    Subcommand { Kind::renameSpeaker, "rename", "rename ID FROM TO",
        "Renames the speaker FROM to TO in every turn of a transcript on the\n"
        "server, for example: rename 1A2B \"Speaker 1\" Dana.", "" },
    Subcommand { Kind::retitle, "retitle", "retitle ID TITLE",
        "Gives a transcript on the server a new title.", "" },
    Subcommand { Kind::importFile, "import", "import FILE [--speakers|--no-speakers] [--email ADDR]",
        "Imports a recording made elsewhere (any audio or video file, up to 4\n"
        "hours) as a saved recording, then transcribes it like a recording,\n"
        "showing each step. FILE itself is only read.",
        "  --speakers      detect who is speaking (this recording only)\n"
        "  --no-speakers   no speaker detection (this recording only)\n"
        "  --email ADDR    e-mail the transcript to ADDR (this recording only;\n"
        "                  an empty ADDR sends no e-mail)\n" },
};
// clang-format on

const Subcommand& subcommand(Kind kind)
{
    for (const Subcommand& entry : kSubcommands) {
        if (entry.kind == kind) {
            return entry;
        }
    }
    throw std::logic_error("Every kind of subcommand has an entry.");
}

const Subcommand* findSubcommand(const QString& name)
{
    for (const Subcommand& entry : kSubcommands) {
        if (name == QLatin1String(entry.name)) {
            return &entry;
        }
    }
    return nullptr;
}

bool isHelpFlag(const QString& argument)
{
    return argument == QLatin1String("--help") || argument == QLatin1String("-h");
}

// Walks the arguments after the subcommand, splitting "--name=value".
class OptionReader
{
public:
    OptionReader(const QStringList& arguments, Kind kind)
        : m_arguments(arguments)
        , m_usage(CliArguments::usage(kind))
    { }

    bool atEnd() const { return m_index >= m_arguments.size(); }

    // The next argument; an option's attached "=value" is held back for value().
    QString next()
    {
        QString argument = m_arguments.at(m_index++);
        m_attached.reset();
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (argument.startsWith(QLatin1String("--")) && equals > 0) {
            m_attached = argument.mid(equals + 1);
            argument.truncate(equals);
        }
        return argument;
    }

    QString value(const QString& option)
    {
        if (m_attached) {
            return *std::exchange(m_attached, std::nullopt);
        }
        if (atEnd()) {
            fail(option + QStringLiteral(" needs a value."));
        }
        return m_arguments.at(m_index++);
    }

    void refuseAttachedValue(const QString& option)
    {
        if (m_attached) {
            fail(option + QStringLiteral(" takes no value."));
        }
    }

    [[noreturn]] void fail(const QString& message) const { throw UsageError(message, m_usage); }

private:
    const QStringList& m_arguments;
    QString m_usage;
    qsizetype m_index = 1;
    std::optional<QString> m_attached;
};

int parseSeconds(OptionReader& reader, const QString& text)
{
    bool ok = false;
    const int seconds = text.toInt(&ok);
    if (!ok || seconds < 1 || seconds > CliArguments::kMaximumSeconds) {
        reader.fail(QStringLiteral("--seconds needs a whole number from 1 to %1, not \"%2\".")
                        .arg(CliArguments::kMaximumSeconds)
                        .arg(text));
    }
    return seconds;
}

void setSpeakers(OptionReader& reader, CliCommand& command, bool speakers)
{
    if (command.speakers && *command.speakers != speakers) {
        reader.fail(QStringLiteral("Use either --speakers or --no-speakers, not both."));
    }
    command.speakers = speakers;
}

// One "@" between a local part and a dotted domain, no spaces: enough to catch
// a typo before a meeting is recorded; the server judges the rest.
bool isPlausibleAddress(const QString& address)
{
    static const QRegularExpression shape(QStringLiteral("^[^@\\s]+@[^@\\s.]+(\\.[^@\\s.]+)+$"));
    return shape.match(address).hasMatch();
}

// Handles one option of the subcommand; false when the subcommand has no such option.
bool readOption(OptionReader& reader, CliCommand& command, const QString& option)
{
    const auto is
        = [&](Kind kind, const char* name) { return command.kind == kind && option == QLatin1String(name); };
    if (is(Kind::signIn, "--server")) {
        command.server = reader.value(option);
        if (!AppModel::checkedServerURL(*command.server)) {
            reader.fail(QStringLiteral("--server needs an http or https address such as "
                                       "https://tallisen.example.com, not \"%1\".")
                            .arg(*command.server));
        }
    } else if (is(Kind::signIn, "--no-browser")) {
        reader.refuseAttachedValue(option);
        command.noBrowser = true;
    } else if (is(Kind::record, "--seconds")) {
        command.seconds = parseSeconds(reader, reader.value(option));
    } else if (is(Kind::record, "--speakers") || is(Kind::record, "--no-speakers")
        || is(Kind::importFile, "--speakers") || is(Kind::importFile, "--no-speakers")) {
        reader.refuseAttachedValue(option);
        setSpeakers(reader, command, option == QLatin1String("--speakers"));
    } else if (is(Kind::record, "--email") || is(Kind::importFile, "--email")) {
        command.email = reader.value(option).trimmed();
        if (!command.email->isEmpty() && !isPlausibleAddress(*command.email)) {
            reader.fail(QStringLiteral("--email needs an address such as ann@example.com, not \"%1\".")
                            .arg(*command.email));
        }
    } else if (is(Kind::transcripts, "--json")) {
        reader.refuseAttachedValue(option);
        command.json = true;
    } else if (is(Kind::show, "--format")) {
        const QString name = reader.value(option);
        try {
            command.format = TranscriptExport::formatNamed(name);
        } catch (const std::invalid_argument& error) {
            reader.fail(QString::fromStdString(error.what()));
        }
    } else if (is(Kind::show, "--output")) {
        command.output = reader.value(option);
        if (command.output->isEmpty()) {
            reader.fail(QStringLiteral("--output needs a file name."));
        }
    } else {
        return false;
    }
    return true;
}

bool takesId(Kind kind)
{
    return kind == Kind::retry || kind == Kind::withoutSpeakers || kind == Kind::discard
        || kind == Kind::deleteTranscript || kind == Kind::show || kind == Kind::renameSpeaker
        || kind == Kind::retitle;
}

bool namesTranscript(Kind kind)
{
    return kind == Kind::deleteTranscript || kind == Kind::show || kind == Kind::renameSpeaker
        || kind == Kind::retitle;
}

// The words each subcommand takes after its ID, named for the usage error.
QStringList textsAfterId(Kind kind)
{
    if (kind == Kind::renameSpeaker) {
        return { QStringLiteral("the speaker's name"), QStringLiteral("the new name") };
    }
    if (kind == Kind::retitle) {
        return { QStringLiteral("the new title") };
    }
    return {};
}

CliCommand helpFor(const QStringList& arguments)
{
    CliCommand command;
    if (arguments.size() > 2) {
        throw UsageError(QStringLiteral("help takes at most one subcommand."), CliArguments::usage());
    }
    if (arguments.size() == 2) {
        const Subcommand* topic = findSubcommand(arguments.at(1));
        if (!topic) {
            throw UsageError(
                QStringLiteral("There is no subcommand \"%1\".").arg(arguments.at(1)), CliArguments::usage());
        }
        command.helpTopic = topic->kind;
    }
    return command;
}

} // namespace

namespace CliArguments {

CliCommand parse(const QStringList& arguments)
{
    if (arguments.isEmpty()) {
        throw UsageError(QStringLiteral("Name a subcommand."), usage());
    }
    const QString& name = arguments.first();
    if (isHelpFlag(name) || name == QLatin1String("help")) {
        return helpFor(arguments);
    }
    const Subcommand* entry = findSubcommand(name);
    if (!entry) {
        throw UsageError(QStringLiteral("There is no subcommand \"%1\".").arg(name), usage());
    }
    CliCommand command;
    command.kind = entry->kind;
    // --help anywhere wins over every other mistake on the line.
    for (const QString& argument : arguments.mid(1)) {
        if (isHelpFlag(argument)) {
            command.helpTopic = command.kind;
            command.kind = Kind::help;
            return command;
        }
    }
    OptionReader reader(arguments, command.kind);
    std::optional<QString> id;
    bool optionsEnded = false;
    while (!reader.atEnd()) {
        const QString argument = reader.next();
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            if (!readOption(reader, command, argument)) {
                reader.fail(QStringLiteral("%1 has no option %2.").arg(name, argument));
            }
        } else if (takesId(command.kind) && !id) {
            id = argument;
        } else if (command.kind == Kind::importFile && command.file.isEmpty() && !argument.isEmpty()) {
            command.file = argument;
        } else if (id && command.texts.size() < textsAfterId(command.kind).size()) {
            command.texts.append(argument);
        } else {
            reader.fail(QStringLiteral("Unexpected argument \"%1\".").arg(argument));
        }
    }
    if (takesId(command.kind)) {
        if (!id || id->trimmed().isEmpty()) {
            reader.fail(QStringLiteral("%1 needs the ID of a %2.")
                            .arg(name,
                                namesTranscript(command.kind) ? QStringLiteral("transcript")
                                                              : QStringLiteral("saved recording")));
        }
        command.id = id->trimmed();
    }
    if (command.kind == Kind::importFile && command.file.isEmpty()) {
        reader.fail(QStringLiteral("import needs the audio or video file to import."));
    }
    const QStringList wanted = textsAfterId(command.kind);
    if (command.texts.size() < wanted.size()) {
        reader.fail(QStringLiteral("%1 needs %2 after the ID.").arg(name, wanted.at(command.texts.size())));
    }
    for (const QString& text : command.texts) {
        if (text.trimmed().isEmpty()) {
            reader.fail(QStringLiteral("%1 needs words that are not blank.").arg(name));
        }
    }
    return command;
}

QString usage()
{
    QString text = QStringLiteral("Usage: tallisen-cli SUBCOMMAND [OPTIONS]\n\n"
                                  "Records meetings and transcribes them on your Tallisen server.\n\n"
                                  "Subcommands:\n");
    for (const Subcommand& entry : kSubcommands) {
        text += QStringLiteral("  %1\n").arg(QLatin1String(entry.synopsis));
    }
    text += QStringLiteral("\n'tallisen-cli SUBCOMMAND --help' tells more about one.\n"
                           "Exit status: 0 done, 1 the operation failed (the reason on stderr), "
                           "2 wrong usage.\n");
    return text;
}

QString usage(CliCommand::Kind kind)
{
    if (kind == Kind::help) {
        return usage();
    }
    const Subcommand& entry = subcommand(kind);
    QString text = QStringLiteral("Usage: tallisen-cli %1\n\n%2\n")
                       .arg(QLatin1String(entry.synopsis), QLatin1String(entry.description));
    if (*entry.options) {
        text += QStringLiteral("\nOptions:\n") + QLatin1String(entry.options);
    }
    if (takesId(kind)) {
        text += QStringLiteral("\nID is the ID '%1' lists, or enough of its beginning to name one.\n")
                    .arg(namesTranscript(kind) ? QStringLiteral("transcripts") : QStringLiteral("jobs"));
    }
    return text;
}

} // namespace CliArguments
