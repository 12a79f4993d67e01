#include "core/host/HostServer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <thread>
#include <variant>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kReplyTimeLimit = 5s;

}  // namespace

HostServer::HostServer(ProfileHost& host, HostControlListener& listener, int leaseFD)
    : host_(host), listener_(listener), leaseFD_(leaseFD) {
  if (!platform::newPipe(wakeRead_, wakeWrite_))
    throw KorvelinCoreError::profilePreparationFailed("could not create the host's wake pipe");
}

HostServer::~HostServer() {
  requestStop();
  std::unique_lock guard(lock_);
  changed_.wait(guard, [&] { return active_ == 0; });
}

void HostServer::requestStop() {
  stopRequested_ = true;
  const char byte = 0;
  [[maybe_unused]] auto ignored = ::write(wakeWrite_.get(), &byte, 1);
}

bool HostServer::serve(std::optional<std::chrono::milliseconds> idleLinger) {
  std::thread monitorThread([this] { monitor(); });
  bool endedIdle = false;
  auto idleSince = Clock::now();
  while (!stopRequested_) {
    pollfd entries[2] = {{listener_.fd(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    platform::retryOnEintr([&] { return ::poll(entries, 2, 100); });
    if (entries[1].revents)
      break;
    if (entries[0].revents & POLLIN) {
      while (auto connection = acceptHostClient(listener_.fd())) {
        std::unique_lock guard(lock_);
        if (active_ >= kMaxConnections) {
          guard.unlock();
          writeHostLine(connection.get(), hostErrorReply("the host is busy; try again"), 100ms);
          continue;
        }
        ++active_;
        guard.unlock();
        std::thread(&HostServer::handleConnection, this, std::move(connection)).detach();
      }
    }
    if (idleLinger) {
      bool quiet;
      {
        std::lock_guard guard(lock_);
        quiet = active_ == 0;
      }
      if (!quiet || !host_.idle())
        idleSince = Clock::now();
      else if (Clock::now() - idleSince >= *idleLinger) {
        endedIdle = true;
        break;
      }
    }
  }
  stopRequested_ = true;
  // No new client can connect once the name is gone; those already queued
  // are told to try again (a new host starts for them).
  listener_.unlinkName();
  while (auto queued = acceptHostClient(listener_.fd()))
    writeHostLine(queued.get(), hostErrorReply("the host is exiting; try again", "hostExiting"),
                  100ms);
  monitorThread.join();
  return endedIdle;
}

void HostServer::monitor() {
  while (!stopRequested_) {
    host_.poll();
    std::this_thread::sleep_for(kMonitorInterval);
  }
}

void HostServer::handleConnection(platform::ScopedFD connection) {
  auto line = readHostRequestLine(connection.get(), kRequestTimeLimit);
  if (auto* refusal = std::get_if<ReadRefusal>(&line)) {
    writeHostLine(connection.get(), hostErrorReply(refusal->reason), 100ms);
  } else {
    auto request = parseHostRequest(std::get<std::string>(line));
    if (auto* reason = std::get_if<std::string>(&request))
      writeHostLine(connection.get(), hostErrorReply(*reason), kReplyTimeLimit);
    else
      answer(std::get<HostRequest>(request), connection);
  }
  connection.reset();
  std::lock_guard guard(lock_);
  --active_;
  changed_.notify_all();
}

void HostServer::answer(const HostRequest& request, platform::ScopedFD& connection) {
  const int fd = connection.get();
  auto reply = [&](const nlohmann::json& line) { writeHostLine(fd, line, kReplyTimeLimit); };
  try {
    switch (request.operation) {
      case HostOperation::ps:
        reply({{"event", "ps"}, {"profiles", host_.list()}, {"hostPID", ::getpid()}});
        break;
      case HostOperation::run: {
        // A waiting client keeps its connection: the host writes the run's
        // end to it (and closes it) whenever the run ends.
        platform::ScopedFD waiter;
        if (request.wait)
          waiter = platform::ScopedFD(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        host_.run(
            request,
            [&](const ProcessSnapshot& run) {
              reply({{"event", "started"}, {"run", run}});
            },
            std::move(waiter));
        break;
      }
      case HostOperation::launch: {
        platform::ScopedFD waiter;
        if (request.wait)
          waiter = platform::ScopedFD(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        host_.launch(
            request, [&](const ProfileLaunchProgress& step) { reply(hostStepLine(step)); },
            [&](const ProfileLaunch& launch) {
              reply({{"event", "launched"}, {"launch", launch}});
            },
            std::move(waiter));
        break;
      }
      case HostOperation::lease:
        platform::sendDescriptor(fd, leaseFD_);
        break;
      case HostOperation::stop:
        reply({{"event", "stopped"},
               {"run", host_.stop(request.profileID, request.timeout,
                                  [&](const ProfileLaunchProgress& step) {
                                    reply(hostStepLine(step));
                                  })}});
        break;
      case HostOperation::proxyStart:
        reply({{"event", "proxy"}, {"handle", host_.startProxy(request)}});
        break;
      case HostOperation::proxyStop:
        host_.stopProxy(request.profileID);
        reply({{"event", "proxyStopped"}});
        break;
    }
  } catch (const KorvelinCoreError& e) {
    reply(hostErrorReply(e.errorDescription(), e.code()));
  } catch (const std::exception& e) {
    reply(hostErrorReply(std::string("unexpected failure: ") + e.what()));
  }
}

}  // namespace korvelin
