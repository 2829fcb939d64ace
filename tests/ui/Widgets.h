#pragma once

#include "api/KeychainStore.h"
#include "model/AppModel.h"
#include "model/SettingsStore.h"

#include <QObject>
#include <QString>
#include <QUrl>

// The first child of the given type showing the text (a button, an action), or null.
template <typename T> T* childWithText(QObject& root, const QString& text)
{
    for (T* child : root.findChildren<T*>()) {
        if (child->text() == text) {
            return child;
        }
    }
    return nullptr;
}

// The model without its microphone monitor, so a test decides when anything records.
class QuietModel : public AppModel
{
public:
    explicit QuietModel(bool browserOpens = true)
        : AppModel([browserOpens](const QUrl&) { return browserOpens; }, std::nullopt)
    { }
};

// Signed out of the given server for the life of a test, and signed out again after it.
struct SignedOut
{
    explicit SignedOut(const QUrl& server)
    {
        KeychainStore::clearToken();
        SettingsStore().setString(SettingsStore::kServer, server.toString());
    }
    ~SignedOut() { KeychainStore::clearToken(); }
    SignedOut(const SignedOut&) = delete;
    SignedOut& operator=(const SignedOut&) = delete;
};
