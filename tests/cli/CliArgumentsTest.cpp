#include "cli/CliArguments.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using Kind = CliCommand::Kind;

CliCommand parse(const QStringList& arguments)
{
    return CliArguments::parse(arguments);
}

// The usage error the arguments cause; nothing when they parse.
std::optional<UsageError> mistake(const QStringList& arguments)
{
    try {
        CliArguments::parse(arguments);
    } catch (const UsageError& error) {
        return error;
    }
    return std::nullopt;
}

TEST(CliArgumentsTest, SubcommandsAndTheirOptionsParse)
{
    const std::pair<QStringList, Kind> kinds[] = {
        { { "signout" }, Kind::signOut },
        { { "status" }, Kind::status },
        { { "auto" }, Kind::autoRecord },
        { { "jobs" }, Kind::jobs },
        { { "transcripts" }, Kind::transcripts },
        { { "without-speakers", "A" }, Kind::withoutSpeakers },
        { { "discard", "A" }, Kind::discard },
        { { "delete", "A" }, Kind::deleteTranscript },
        { { "rename", "A", "Speaker 1", "Dana" }, Kind::renameSpeaker },
        { { "retitle", "A", "Plan" }, Kind::retitle },
        { { "--help" }, Kind::help },
        { { "-h" }, Kind::help },
        { { "help" }, Kind::help },
    };
    for (const auto& [arguments, kind] : kinds) {
        EXPECT_EQ(parse(arguments).kind, kind) << arguments.join(' ').toStdString();
    }
    EXPECT_FALSE(parse({ "transcripts" }).json);
    EXPECT_FALSE(parse({ "help" }).helpTopic);

    const CliCommand spaced = parse({ "signin", "--server", "https://example.test:8443", "--no-browser" });
    EXPECT_EQ(spaced.kind, Kind::signIn);
    EXPECT_EQ(spaced.server, QString("https://example.test:8443"));
    EXPECT_TRUE(spaced.noBrowser);
    // The value may itself hold '=' and is taken exactly as typed.
    const CliCommand attached = parse({ "signin", "--server=https://h.test/?a=b" });
    EXPECT_EQ(attached.server, QString("https://h.test/?a=b"));
    EXPECT_FALSE(attached.noBrowser);

    const CliCommand plain = parse({ "record" });
    EXPECT_EQ(plain.kind, Kind::record);
    EXPECT_FALSE(plain.seconds || plain.speakers || plain.email);
    const CliCommand full = parse({ "record", "--seconds", "90", "--speakers", "--email=a@b.test" });
    EXPECT_EQ(full.seconds, 90);
    EXPECT_EQ(full.speakers, true);
    EXPECT_EQ(full.email, QString("a@b.test"));
    EXPECT_EQ(parse({ "record", "--no-speakers" }).speakers, false);
    // Repeating the same choice is harmless.
    EXPECT_EQ(parse({ "record", "--speakers", "--speakers" }).speakers, true);
    // An empty address means: no e-mail for this recording.
    EXPECT_EQ(parse({ "record", "--email", "" }).email, QString());
    EXPECT_EQ(parse({ "record", "--seconds=1" }).seconds, 1);
    EXPECT_EQ(parse({ "record", "--seconds", "86400" }).seconds, 86400);

    const CliCommand retry = parse({ "retry", "0f1e2d3c" });
    EXPECT_EQ(retry.kind, Kind::retry);
    EXPECT_EQ(retry.id, "0f1e2d3c");
    // After "--" an argument that looks like an option is the ID.
    EXPECT_EQ(parse({ "delete", "--", "-1" }).id, "-1");
    EXPECT_EQ(
        parse({ "rename", "0f1e", "Speaker 1", "Dana Lee" }).texts, QStringList({ "Speaker 1", "Dana Lee" }));
    EXPECT_EQ(parse({ "retitle", "0f1e", "--", "-3 dB" }).texts, QStringList({ "-3 dB" }));

    // Help names its topic and wins over any mistake.
    EXPECT_EQ(parse({ "help", "record" }).helpTopic, Kind::record);
    EXPECT_EQ(parse({ "retry", "-h" }).helpTopic, Kind::retry);
    const CliCommand help = parse({ "record", "--seconds", "zero", "--bogus", "--help" });
    EXPECT_EQ(help.kind, Kind::help);
    EXPECT_EQ(help.helpTopic, Kind::record);
}

TEST(CliArgumentsTest, MistakesAreExplainedWithTheRightHelp)
{
    const struct
    {
        QStringList arguments;
        QString message;
    } cases[] = {
        { {}, "Name a subcommand." },
        { { "recrod" }, "There is no subcommand \"recrod\"." },
        // An option before the subcommand is not a subcommand either.
        { { "--seconds", "5", "record" }, "There is no subcommand \"--seconds\"." },
        { { "help", "nonsense" }, "There is no subcommand \"nonsense\"." },
        { { "help", "record", "jobs" }, "help takes at most one subcommand." },
        { { "record", "--seconds" }, "--seconds needs a value." },
        { { "record", "--speakers", "--no-speakers" }, "Use either --speakers or --no-speakers, not both." },
        { { "record", "--speakers=yes" }, "--speakers takes no value." },
        // Options belong to their own subcommand only.
        { { "status", "--json" }, "status has no option --json." },
        { { "record", "--server", "x" }, "record has no option --server." },
        { { "signin", "--server" }, "--server needs a value." },
        { { "jobs", "extra" }, "Unexpected argument \"extra\"." },
        { { "retry" }, "retry needs the ID of a saved recording." },
        { { "delete", "  " }, "delete needs the ID of a transcript." },
        { { "discard", "A", "B" }, "Unexpected argument \"B\"." },
        { { "delete", "-1" }, "delete has no option -1." },
        { { "rename" }, "rename needs the ID of a transcript." },
        { { "rename", "A" }, "rename needs the speaker's name after the ID." },
        { { "rename", "A", "Speaker 1" }, "rename needs the new name after the ID." },
        { { "rename", "A", "Speaker 1", " " }, "rename needs words that are not blank." },
        { { "retitle", "A", "Plan", "B" }, "Unexpected argument \"B\"." },
    };
    for (const auto& test : cases) {
        const auto error = mistake(test.arguments);
        ASSERT_TRUE(error) << test.arguments.join(' ').toStdString();
        EXPECT_EQ(error->message(), test.message);
    }
    for (const char* bad : { "0", "-5", "86401", "1.5", "ten", "", "99999999999" }) {
        const auto error = mistake({ "record", "--seconds", bad });
        ASSERT_TRUE(error) << bad;
        EXPECT_TRUE(error->message().startsWith("--seconds needs a whole number")) << bad;
        EXPECT_EQ(error->usage(), CliArguments::usage(Kind::record));
    }
    EXPECT_EQ(mistake({ "nonsense" })->usage(), CliArguments::usage());
}

// A mistyped address is a usage error before anything is recorded or sent.
TEST(CliArgumentsTest, AddressesMustLookLikeAddresses)
{
    struct Case
    {
        const char* subcommand;
        const char* option;
        std::vector<const char*> good;
        std::vector<const char*> bad;
    };
    const Case cases[] = {
        { "record", "--email", { "a@b.test", "Ann.Example+notes@mail.example.org", " ann@example.com " },
            { "ann", "ann@", "@example.com", "ann@example", "ann @example.com", "a@@b.test", "ann@example.",
                "ann@.example.com" } },
        { "signin", "--server", { "http://127.0.0.1:9090", "https://example.test:8443/", "https://h.test" },
            { "127.0.0.1:9090", "ftp://h.test", "https://", "HTTPS://h.test", "http//h.test", "",
                "https://a b" } },
    };
    for (const Case& test : cases) {
        for (const char* good : test.good) {
            EXPECT_FALSE(mistake({ test.subcommand, test.option, good })) << test.option << " " << good;
        }
        for (const char* bad : test.bad) {
            const auto error = mistake({ test.subcommand, test.option, bad });
            ASSERT_TRUE(error) << test.option << " " << bad;
            EXPECT_TRUE(error->message().startsWith(QString::fromLatin1(test.option) + " needs a")) << bad;
        }
    }
}

TEST(CliArgumentsTest, UsageTextsNameEverySubcommandAndOption)
{
    const QString general = CliArguments::usage();
    for (const char* name : { "signin", "signout", "status", "record", "auto", "jobs", "retry",
             "without-speakers", "discard", "transcripts", "delete", "rename", "retitle" }) {
        EXPECT_TRUE(general.contains(QString("\n  ") + name)) << name;
        // Each subcommand's own help starts with its synopsis.
        const Kind kind = parse({ name, "--help" }).helpTopic.value();
        EXPECT_TRUE(CliArguments::usage(kind).startsWith(QString("Usage: tallisen-cli ") + name)) << name;
    }
    const QString record = CliArguments::usage(Kind::record);
    for (const char* option : { "--seconds N", "--speakers", "--no-speakers", "--email ADDR" }) {
        EXPECT_TRUE(record.contains(option)) << option;
    }
    EXPECT_TRUE(CliArguments::usage(Kind::signIn).contains("--no-browser"));
    EXPECT_TRUE(CliArguments::usage(Kind::transcripts).contains("--json"));
    EXPECT_TRUE(general.contains("2 wrong usage"));
}

} // namespace
