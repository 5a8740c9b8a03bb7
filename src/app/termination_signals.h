#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <vector>

#include "support/unique_fd.h"

namespace vantrel {

// The ending signals (SIGTERM, SIGINT, SIGHUP unless ignored at start) as a Qt signal on the main
// thread, so that they end the application the way its Quit command does. One instance per process:
// it owns the handlers while it lives.
class TerminationSignals final : public QObject {
    Q_OBJECT

  public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

  signals:
    void received();

  private:
    void drain();

    std::vector<int> signals_;
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace vantrel
