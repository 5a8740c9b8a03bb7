#pragma once

#include "support/alerts.h"

namespace vantrel {

// Alerts as application-modal message boxes, opened without blocking the event loop.
class QtAlerts final : public Alerts {
  public:
    void show(const std::string& message, const std::string& informative,
              std::function<void()> dismissed = {}) override;
};

}  // namespace vantrel
