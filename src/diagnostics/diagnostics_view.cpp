#include "diagnostics/diagnostics_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWidget>

#include <cmath>

#include "diagnostics/diagnostics_run.h"
#include "diagnostics/diagnostics_texts.h"
#include "support/platform_words.h"

namespace vantrel {
namespace {

namespace texts = diagnostics_texts;
constexpr int kWidth = 460;
constexpr int kProgressSteps = 1000;

QLabel* makeLabel(QBoxLayout* stack, const char* name, const QString& text, double points,
                  bool bold) {
    auto* label = new QLabel(text);
    label->setObjectName(QString::fromLatin1(name));
    QFont font = label->font();
    font.setPointSizeF(points);
    font.setBold(bold);
    label->setFont(font);
    if (!bold) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
        label->setPalette(palette);
        label->setWordWrap(true);
    }
    stack->addWidget(label);
    return label;
}

QPushButton* makeButton(QBoxLayout* row, const char* name, const QString& text) {
    auto* button = new QPushButton(text);
    button->setObjectName(QString::fromLatin1(name));
    row->addWidget(button);
    return button;
}

}  // namespace

DiagnosticsView DiagnosticsView::build() {
    DiagnosticsView view;
    view.window =
        std::make_unique<QWidget>(nullptr, Qt::Window | Qt::CustomizeWindowHint |
                                               Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    view.window->setWindowTitle(QString::fromUtf8(texts::kTitle));
    auto* stack = new QVBoxLayout(view.window.get());
    stack->setContentsMargins(20, 20, 20, 20);
    stack->setSpacing(10);
    makeLabel(stack, "heading", QString::fromUtf8(texts::kHeading), 15, true);
    makeLabel(stack, "explanation",
              QString::fromUtf8(texts::kExplanationStart) +
                  QString::fromUtf8(platform_words::kNothingLeaves),
              12, false)
        ->setFixedWidth(400);
    view.progress = new QProgressBar;
    view.progress->setObjectName(QStringLiteral("progress"));
    view.progress->setRange(0, kProgressSteps);
    view.progress->setTextVisible(false);
    stack->addWidget(view.progress);
    view.status = makeLabel(stack, "status", QString(), 11, false);
    view.status->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    view.start = makeButton(row, "start", QString());
    view.start->setDefault(true);
    view.reveal = makeButton(row, "reveal", QString::fromUtf8(platform_words::kReveal));
    row->addStretch();
    stack->addLayout(row);

    // A plain window has no default button of its own, so Return is bound here.
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        QObject::connect(new QShortcut(QKeySequence(key), view.window.get()), &QShortcut::activated,
                         view.start, &QPushButton::animateClick);
    }
    view.window->setFixedWidth(kWidth);
    return view;
}

void DiagnosticsView::draw(const DiagnosticsRun& run) {
    start->setText(QString::fromUtf8(run.startTitle()));
    start->setEnabled(run.startEnabled());
    progress->setVisible(run.progressVisible());
    progress->setValue(static_cast<int>(std::lround(run.fraction * kProgressSteps)));
    reveal->setVisible(run.revealVisible());
    status->setText(QString::fromStdString(run.status));
    fitHeight();
}

// Wrapped text needs the height that goes with the window's width, not its own guess.
void DiagnosticsView::fitHeight() {
    QLayout* content = window->layout();
    content->activate();
    const int height = content->totalHeightForWidth(kWidth);
    if (height > 0 && height != window->height()) {
        window->setFixedHeight(height);
    }
}

}  // namespace vantrel
