// Reporting the module's operations to sys.monitoring tools (see the header).
#include "binding/monitoring.hpp"

namespace binding::monitoring {

const std::uint8_t kEventTypes[kEventCount] = {
    PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RESUME, PY_MONITORING_EVENT_PY_RETURN,
    PY_MONITORING_EVENT_PY_YIELD, PY_MONITORING_EVENT_PY_THROW,  PY_MONITORING_EVENT_PY_UNWIND,
};

bool no_legacy_hook() noexcept {
  PyThreadState* ts = PyThreadState_Get();
  return !ts->c_profilefunc && !ts->c_tracefunc;
}

}  // namespace binding::monitoring
