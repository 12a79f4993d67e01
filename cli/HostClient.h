#pragma once

// Commands as clients of the base's host: connecting to it, starting it on
// demand when none runs (unless --no-host-start), sending one request and
// reading its replies.

#include <signal.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/files/ApplicationInstanceLease.h"
#include "core/host/HostControlSocket.h"
#include "core/host/HostProtocol.h"
#include "core/launch/ProfileLauncher.h"
#include "core/process/ProcessSnapshot.h"

namespace korvelin::cli {

// A request sent; `first` is the host's first reply (never an error: an
// error reply has been printed as a one-line failure, and the exchange is
// absent). Further replies, if the request has any, come from `reader`.
struct HostExchange {
  HostReplyReader reader;
  nlohmann::json first;
};

// Sends `request` to the base's host and hands the exchange to `served`,
// whose result is the exit status. When none runs: starts one unless
// --no-host-start was given; with --no-host-start, returns absent and prints
// nothing, so that the caller can do the work itself. A refusal or a host
// that never answered is printed as a one-line failure and its status
// returned.
std::optional<int> throughHost(const GlobalOptions& global,
                               const HostRequest& request,
                               const std::function<int(HostExchange&)>& served);

// The step a reply line reports ({"event": "step", ...}); absent for any
// other line.
std::optional<ProfileLaunchProgress> hostStep(const nlohmann::json& line);

// Follows a run the host supervises for this client until the host reports
// its end, asking the host to stop it (within `stopTimeout`) whenever one of
// `stopSignals` arrives, as often as they arrive. Lines the host sends
// before the end (the steps of its stop among them) go to `line`. Absent after a one-line error
// when the host went away first.
std::optional<ProcessSnapshot> followHostedRun(
    HostExchange& exchange,
    const GlobalOptions& global,
    const Uuid& profileID,
    double stopTimeout,
    const sigset_t& stopSignals,
    bool json,
    const std::function<void(const nlohmann::json&)>& line = nullptr);

// The running host's single-instance lease, lent to this process (see
// takeInstanceLease); null when no host serves the base or it did not lend
// it. The descriptor must be the base's own lock file.
std::unique_ptr<ApplicationInstanceLease> borrowHostLease(const GlobalOptions& global);

// Starts a host for the base in a session of its own and waits until it
// serves (or another host does). `exitWhenIdle`: it exits once nothing runs
// and no client is connected; `options` go to its command line. Returns its
// pid; throws with the host's own reason when it could not start.
int startHost(const GlobalOptions& global,
              bool exitWhenIdle,
              const std::vector<std::string>& options = {});

// Prints an error reply as a one-line failure; returns the exit status.
int failWithHostReply(const nlohmann::json& reply);

}  // namespace korvelin::cli
