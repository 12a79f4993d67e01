#pragma once

#include <cstdint>

namespace korvelin {

// How the supervisor sends signals, injected so that tests can stand in for
// the kernel.
class ProcessSignaling {
 public:
  virtual ~ProcessSignaling() = default;
  // kill(pid, signal): 0 on success, otherwise the errno value.
  virtual int signalProcess(std::int32_t pid, int signal) = 0;
  // kill(-group, signal): 0 on success, otherwise the errno value.
  virtual int signalGroup(std::int32_t processGroupID, int signal) = 0;
};

// The kernel-backed default.
class SystemProcessSignaler final : public ProcessSignaling {
 public:
  int signalProcess(std::int32_t pid, int signal) override;
  int signalGroup(std::int32_t processGroupID, int signal) override;
};

}  // namespace korvelin
