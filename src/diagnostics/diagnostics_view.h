#pragma once

#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace vantrel {

struct DiagnosticsRun;

// The diagnostics window's widgets: a heading, the explanation, a progress bar, the status text
// and the start and reveal buttons, 460 points wide and as tall as their content needs at the
// platform's font and scale.
struct DiagnosticsView {
    std::unique_ptr<QWidget> window;
    QProgressBar* progress = nullptr;
    QLabel* status = nullptr;
    QPushButton* start = nullptr;
    QPushButton* reveal = nullptr;

    static DiagnosticsView build();
    void draw(const DiagnosticsRun& run);
    void fitHeight();
};

}  // namespace vantrel
