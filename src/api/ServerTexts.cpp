#include "api/ServerTexts.h"

ServerTexts ServerTexts::of(const QUrl& server)
{
    if (server == QUrl(QStringLiteral(TALLISEN_DEFAULT_SERVER))) {
        return {
            .signIn = QStringLiteral("Google sign-in"),
            .signInButton = QStringLiteral("Continue with Google"),
            .speakersSwitch = QStringLiteral("Detect speakers (pyannoteAI)"),
            .speakersCaption = QStringLiteral(
                "Optional: pyannoteAI detects speakers across the full recording. OpenAI transcribes long "
                "chunks, then a separate timestamp pass aligns the words. Adds processing time and charges. "
                "Applies to new recordings."),
            .speakerService = QStringLiteral("pyannoteAI"),
            .speakerServicePreposition = QStringLiteral("with"),
        };
    }
    const QString address
        = server.port() < 0 ? server.host() : server.host() + u':' + QString::number(server.port());
    return {
        .signIn = QStringLiteral("the sign-in at %1").arg(address),
        .signInButton = QStringLiteral("Sign in at %1").arg(address),
        .speakersSwitch = QStringLiteral("Detect speakers (on %1)").arg(address),
        .speakersCaption = QStringLiteral(
            "Optional: your server %1 detects speakers across the full recording, then aligns the words to "
            "them. Adds processing time. Applies to new recordings.")
                               .arg(address),
        .speakerService = address,
        .speakerServicePreposition = QStringLiteral("on"),
    };
}

QString ServerTexts::sentence(const QString& text)
{
    return text.isEmpty() ? text : text.front().toUpper() + text.mid(1);
}
