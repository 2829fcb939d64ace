#include "cli/CliArguments.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Kind = CliCommand::Kind;

CliCommand parse(const QStringList& arguments)
{
    return CliArguments::parse(arguments);
}

// The message of the usage error the arguments cause; empty when they parse.
QString mistake(const QStringList& arguments)
{
    try {
        CliArguments::parse(arguments);
    } catch (const UsageError& error) {
        return error.message();
    }
    return {};
}

TEST(CliArgumentsTest, SubcommandsWithoutOptionsParse)
{
    EXPECT_EQ(parse({ "signout" }).kind, Kind::signOut);
    EXPECT_EQ(parse({ "status" }).kind, Kind::status);
    EXPECT_EQ(parse({ "auto" }).kind, Kind::autoRecord);
    EXPECT_EQ(parse({ "jobs" }).kind, Kind::jobs);
    EXPECT_EQ(parse({ "transcripts" }).kind, Kind::transcripts);
    EXPECT_FALSE(parse({ "transcripts" }).json);
}

TEST(CliArgumentsTest, SignInOptionsInBothSpellings)
{
    const CliCommand spaced = parse({ "signin", "--server", "https://example.test:8443", "--no-browser" });
    EXPECT_EQ(spaced.kind, Kind::signIn);
    EXPECT_EQ(spaced.server, QString("https://example.test:8443"));
    EXPECT_TRUE(spaced.noBrowser);

    // The value may itself hold '=' and is taken exactly as typed.
    const CliCommand attached = parse({ "signin", "--server=https://h.test/?a=b" });
    EXPECT_EQ(attached.server, QString("https://h.test/?a=b"));
    EXPECT_FALSE(attached.noBrowser);
}

TEST(CliArgumentsTest, RecordOptions)
{
    const CliCommand plain = parse({ "record" });
    EXPECT_EQ(plain.kind, Kind::record);
    EXPECT_FALSE(plain.seconds);
    EXPECT_FALSE(plain.speakers);
    EXPECT_FALSE(plain.email);

    const CliCommand full = parse({ "record", "--seconds", "90", "--speakers", "--email=a@b.test" });
    EXPECT_EQ(full.seconds, 90);
    EXPECT_EQ(full.speakers, true);
    EXPECT_EQ(full.email, QString("a@b.test"));

    EXPECT_EQ(parse({ "record", "--no-speakers" }).speakers, false);
    // Repeating the same choice is harmless.
    EXPECT_EQ(parse({ "record", "--speakers", "--speakers" }).speakers, true);
    // An empty address means: no e-mail for this recording.
    EXPECT_EQ(parse({ "record", "--email", "" }).email, QString());
}

TEST(CliArgumentsTest, SecondsMustBeAWholeNumberInRange)
{
    EXPECT_EQ(parse({ "record", "--seconds=1" }).seconds, 1);
    EXPECT_EQ(parse({ "record", "--seconds", "86400" }).seconds, CliArguments::kMaximumSeconds);
    for (const char* bad : { "0", "-5", "86401", "1.5", "ten", "", "99999999999" }) {
        EXPECT_TRUE(mistake({ "record", "--seconds", bad }).startsWith("--seconds needs a whole number"))
            << bad;
    }
    EXPECT_EQ(mistake({ "record", "--seconds" }), "--seconds needs a value.");
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
        const QString refusal = QString::fromLatin1(test.option) + " needs a";
        for (const char* good : test.good) {
            EXPECT_EQ(mistake({ test.subcommand, test.option, good }), "") << test.option << " " << good;
        }
        for (const char* bad : test.bad) {
            EXPECT_TRUE(mistake({ test.subcommand, test.option, bad }).startsWith(refusal))
                << test.option << " " << bad;
        }
    }
}

TEST(CliArgumentsTest, ContradictoryOrMisplacedOptionsAreRefused)
{
    EXPECT_EQ(mistake({ "record", "--speakers", "--no-speakers" }),
        "Use either --speakers or --no-speakers, not both.");
    EXPECT_EQ(mistake({ "record", "--speakers=yes" }), "--speakers takes no value.");
    // Options belong to their own subcommand only.
    EXPECT_EQ(mistake({ "status", "--json" }), "status has no option --json.");
    EXPECT_EQ(mistake({ "record", "--server", "x" }), "record has no option --server.");
    EXPECT_EQ(mistake({ "signin", "--server" }), "--server needs a value.");
    EXPECT_EQ(mistake({ "jobs", "extra" }), "Unexpected argument \"extra\".");
}

TEST(CliArgumentsTest, IdSubcommandsTakeExactlyOneId)
{
    const CliCommand retry = parse({ "retry", "0f1e2d3c" });
    EXPECT_EQ(retry.kind, Kind::retry);
    EXPECT_EQ(retry.id, "0f1e2d3c");
    EXPECT_EQ(parse({ "without-speakers", "A" }).kind, Kind::withoutSpeakers);
    EXPECT_EQ(parse({ "discard", "A" }).kind, Kind::discard);
    EXPECT_EQ(parse({ "delete", "A" }).kind, Kind::deleteTranscript);

    EXPECT_EQ(mistake({ "retry" }), "retry needs the ID of a saved recording.");
    EXPECT_EQ(mistake({ "delete", "  " }), "delete needs the ID of a transcript.");
    EXPECT_EQ(mistake({ "discard", "A", "B" }), "Unexpected argument \"B\".");
    // After "--" an argument that looks like an option is the ID.
    EXPECT_EQ(parse({ "delete", "--", "-1" }).id, "-1");
    EXPECT_EQ(mistake({ "delete", "-1" }), "delete has no option -1.");
}

TEST(CliArgumentsTest, HelpInEveryForm)
{
    for (const QStringList& arguments :
        { QStringList { "--help" }, QStringList { "-h" }, QStringList { "help" } }) {
        const CliCommand command = parse(arguments);
        EXPECT_EQ(command.kind, Kind::help);
        EXPECT_FALSE(command.helpTopic);
    }
    EXPECT_EQ(parse({ "help", "record" }).helpTopic, Kind::record);
    // --help wins over any mistake on the same line.
    const CliCommand help = parse({ "record", "--seconds", "zero", "--bogus", "--help" });
    EXPECT_EQ(help.kind, Kind::help);
    EXPECT_EQ(help.helpTopic, Kind::record);
    EXPECT_EQ(parse({ "retry", "-h" }).helpTopic, Kind::retry);

    EXPECT_EQ(mistake({ "help", "nonsense" }), "There is no subcommand \"nonsense\".");
    EXPECT_EQ(mistake({ "help", "record", "jobs" }), "help takes at most one subcommand.");
}

TEST(CliArgumentsTest, MissingOrUnknownSubcommand)
{
    EXPECT_EQ(mistake({}), "Name a subcommand.");
    EXPECT_EQ(mistake({ "recrod" }), "There is no subcommand \"recrod\".");
    // An option before the subcommand is not a subcommand either.
    EXPECT_EQ(mistake({ "--seconds", "5", "record" }), "There is no subcommand \"--seconds\".");
}

TEST(CliArgumentsTest, UsageErrorCarriesTheHelpOfItsSubcommand)
{
    try {
        CliArguments::parse({ "record", "--seconds", "0" });
        FAIL() << "no usage error";
    } catch (const UsageError& error) {
        EXPECT_EQ(error.usage(), CliArguments::usage(Kind::record));
    }
    try {
        CliArguments::parse({ "nonsense" });
        FAIL() << "no usage error";
    } catch (const UsageError& error) {
        EXPECT_EQ(error.usage(), CliArguments::usage());
    }
}

TEST(CliArgumentsTest, UsageTextsNameEverySubcommandAndOption)
{
    const QString general = CliArguments::usage();
    for (const char* name : { "signin", "signout", "status", "record", "auto", "jobs", "retry",
             "without-speakers", "discard", "transcripts", "delete" }) {
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
