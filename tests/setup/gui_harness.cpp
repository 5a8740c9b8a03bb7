#include "gui_harness.h"

// How a QString shows in a failed expectation.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
