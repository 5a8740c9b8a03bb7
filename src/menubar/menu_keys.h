#pragma once

#include <QKeyEvent>
#include <QKeySequence>

namespace vantrel {

// A row's key equivalent: Control with its letter (Qt maps it to Command where that key exists).
inline QKeySequence rowKeySequence(char key) {
    if (key == 0) {
        return {};
    }
    return QKeySequence(QKeyCombination(Qt::ControlModifier, Qt::Key(Qt::Key_A + (key - 'a'))));
}

// The lower-case letter of a Control-letter press, or 0 for any other key.
inline char controlLetter(const QKeyEvent& event) {
    if (event.modifiers() != Qt::ControlModifier || event.key() < Qt::Key_A ||
        event.key() > Qt::Key_Z) {
        return 0;
    }
    return static_cast<char>('a' + (event.key() - Qt::Key_A));
}

}  // namespace vantrel
