// Reporting the module's operations to sys.monitoring tools (see the header).
#include "binding/monitoring.hpp"

namespace binding::monitoring {

const std::uint8_t kEventTypes[kEventCount] = {
    PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RESUME, PY_MONITORING_EVENT_PY_RETURN,
    PY_MONITORING_EVENT_PY_YIELD, PY_MONITORING_EVENT_PY_THROW,  PY_MONITORING_EVENT_PY_UNWIND,
};

void refresh(State& s, std::uintptr_t breaker) noexcept {
  const std::uint64_t seen = s.version;
  (void)PyMonitoring_EnterScope(s.events, &s.version, kEventTypes, kEventCount);
  (void)PyMonitoring_ExitScope();
  s.breaker = breaker;
  if (s.version != seen) {
    s.any = false;
    for (const PyMonitoringState& e : s.events) s.any |= e.active != 0;
  }
}

}  // namespace binding::monitoring
