#pragma once

// The words that name who does the work. The product's own service signs in
// with Google, detects speakers with pyannoteAI and transcribes with OpenAI,
// for a charge, and its texts say so. Any other server (a private
// tallisen-server) does that work itself: its texts name it by its address,
// so nobody believes their audio went to a third party, and mention no charges.

#include <QString>
#include <QUrl>

struct ServerTexts
{
    // "Google sign-in", or "the sign-in at host:port".
    QString signIn;
    QString signInButton;
    QString speakersSwitch;
    QString speakersCaption;
    // Who detects speakers: "pyannoteAI", or "host:port".
    QString speakerService;
    QString speakerServicePreposition;

    static ServerTexts of(const QUrl& server);
    // text with its first letter in upper case, for a phrase that opens a sentence.
    static QString sentence(const QString& text);
};
