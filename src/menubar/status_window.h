#pragma once

#include <QObject>

#include <memory>
#include <vector>

#include "menubar/status_menu_model.h"

class QWidget;

namespace vantrel {

// The status menu as a small window of its own, for desktops without a tray: the same rows, with
// the same texts and commands, as labels, buttons and check boxes. Built on the first show();
// closing it only hides it.
class StatusWindow final : public QObject {
    Q_OBJECT

  public:
    explicit StatusWindow(QObject* parent = nullptr);
    ~StatusWindow() override;

    // Builds the window with these rows on the first call; un-minimises, raises and activates it.
    void show(const std::vector<MenuRow>& rows);
    void hide();
    void render(const std::vector<MenuRow>& rows);
    bool isOpen() const;

    QWidget* window() const { return window_.get(); }

    bool eventFilter(QObject* watched, QEvent* event) override;

  signals:
    // Shown or brought to the front: the moment a menu would open.
    void aboutToOpen();
    void chosen(MenuCommand command);
    void controlKey(char key);

  private:
    void build(const std::vector<MenuRow>& rows);
    QWidget* widgetFor(const MenuRow& row);

    std::unique_ptr<QWidget> window_;
    std::vector<QWidget*> widgets_;
};

}  // namespace vantrel
