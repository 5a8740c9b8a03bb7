#pragma once

#include <functional>
#include <memory>

namespace vantrel {

// Keeps the system from going to sleep while the user is idle, for as long as it is held.
class KeepAwake {
  public:
    using Answer = std::function<void(bool held)>;

    virtual ~KeepAwake() = default;

    // Asks the system for the hold without waiting; `answer` runs later on the main thread with
    // whether it is held now. A refusal is not an error. Ignored while held or asked for.
    virtual void hold(Answer answer) = 0;
    // Lets go of the hold, or of the pending request; a late grant is let go at once.
    virtual void release() = 0;
    virtual bool isHeld() const = 0;
};

// The login manager's idle inhibitor lock over the system bus.
std::unique_ptr<KeepAwake> makeKeepAwake();

}  // namespace vantrel
