#pragma once

#include <functional>
#include <string>

namespace vantrel {

// A plain alert: a message, an informative text and one OK button. Shown without a nested event
// loop; `dismissed` runs on the main thread once the user has closed it.
class Alerts {
  public:
    virtual ~Alerts() = default;
    virtual void show(const std::string& message, const std::string& informative,
                      std::function<void()> dismissed = {}) = 0;
};

}  // namespace vantrel
