#pragma once

#include "model/AppModel.h"

#include <QObject>
#include <QString>

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
