#pragma once

#include <QObject>

#include <functional>

#include "menubar/background_notices.h"

namespace vantrel {

// Tells the desktop about background events through its notification service, at most one of
// each kind within an hour. Where no service runs, nothing is shown and nothing else happens.
class Notices {
  public:
    using Clock = std::function<double()>;  // seconds, on any steady scale

    explicit Notices(Clock clock);

    // `then` runs on a later turn of the main loop once the service has answered, has failed or
    // was not asked (the notice came too soon after the last of its kind).
    void raise(Notice notice, std::function<void()> then = {});

  private:
    Clock clock_;
    NoticeSpacing spacing_;
    QObject context_;  // pending answers end with this object
};

// The steady clock in seconds, for production.
double steadySeconds();

}  // namespace vantrel
