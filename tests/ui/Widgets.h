#pragma once

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
