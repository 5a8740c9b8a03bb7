#include "menubar/status_window.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <QWidget>

#include "menubar/menu_keys.h"
#include "support/qt_window.h"

namespace vantrel {
namespace {

QWidget* separatorLine() {
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

}  // namespace

StatusWindow::StatusWindow(QObject* parent) : QObject(parent) {}

StatusWindow::~StatusWindow() = default;

void StatusWindow::show(const std::vector<MenuRow>& rows) {
    if (!window_) {
        build(rows);
    }
    render(rows);
    bringForward(*window_);
}

void StatusWindow::hide() {
    if (window_) {
        window_->hide();
    }
}

bool StatusWindow::isOpen() const {
    return window_ && isShowing(*window_);
}

void StatusWindow::build(const std::vector<MenuRow>& rows) {
    window_ = std::make_unique<QWidget>();
    window_->setWindowTitle(QStringLiteral("Vantrel Agent"));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setSizeConstraint(QLayout::SetFixedSize);
    for (const auto& row : rows) {
        widgets_.push_back(widgetFor(row));
        layout->addWidget(widgets_.back());
    }
    window_->installEventFilter(this);
}

QWidget* StatusWindow::widgetFor(const MenuRow& row) {
    QAbstractButton* button = nullptr;
    switch (row.kind) {
        case MenuRow::Kind::separator:
            return separatorLine();
        case MenuRow::Kind::line: {
            // The state line carries the agent's words: shown as written, never as markup.
            auto* label = new QLabel;
            label->setTextFormat(Qt::PlainText);
            return label;
        }
        case MenuRow::Kind::command:
            button = new QPushButton;
            break;
        case MenuRow::Kind::toggle:
            button = new QCheckBox;
            break;
    }
    if (row.command) {
        // A check box flips itself when clicked; what it shows next is read back from the system.
        connect(button, &QAbstractButton::clicked, this,
                [this, command = *row.command] { emit chosen(command); });
    }
    return button;
}

void StatusWindow::render(const std::vector<MenuRow>& rows) {
    for (std::size_t i = 0; i < rows.size() && i < widgets_.size(); ++i) {
        const MenuRow& row = rows[i];
        QWidget* widget = widgets_[i];
        QString title = QString::fromStdString(row.title);
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            label->setText(title);
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            const QSignalBlocker quiet(button);
            button->setText(title);
            button->setCheckable(row.kind == MenuRow::Kind::toggle);
            button->setChecked(row.checked);
        }
        widget->setEnabled(row.enabled || row.kind == MenuRow::Kind::line);
        widget->setVisible(row.visible);
    }
}

bool StatusWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_.get()) {
        return QObject::eventFilter(watched, event);
    }
    if (event->type() == QEvent::Show || event->type() == QEvent::WindowActivate) {
        emit aboutToOpen();
    } else if (event->type() == QEvent::KeyPress) {
        if (char letter = controlLetter(*static_cast<QKeyEvent*>(event)); letter != 0) {
            emit controlKey(letter);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace vantrel
