#include "guardian/Guardian.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/guardian/GuardianProtocol.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/ScopedFD.h"
#include "core/process/ChildProcess.h"
#include "core/process/LiveProcessIdentity.h"

namespace korvelin::guardian {

namespace {

using platform::retryOnEintr;
using platform::ScopedFD;

constexpr int kStandardInput = 0;
constexpr int kPollSliceMilliseconds = 200;
// A real activation is about 30 KB; the bound only keeps a runaway owner
// from growing the guardian without limit.
constexpr std::size_t kMaxActivationLineBytes = 1 << 20;

const std::vector<std::string> kXrayArguments = {"run", "-config", "stdin:"};
const std::vector<std::string> kXrayEnvironment = {"PATH=/usr/bin:/bin"};

// Set by SIGTERM, SIGINT and SIGHUP: the guardian then shuts down as after
// STOP. It runs in a session of its own, so a terminal's Ctrl-C or hang-up
// aimed at the host never reaches it; these come from someone who means it.
volatile sig_atomic_t terminationRequested = 0;

void requestTermination(int) {
  terminationRequested = 1;
}

// Without SA_RESTART, so that a blocked poll returns and the loop notices.
void handleTerminationSignals() {
  struct sigaction action {};
  action.sa_handler = requestTermination;
  ::sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    ::sigaction(signal, &action, nullptr);
}

// The first line of standard input, without its line feed; absent at
// end-of-file before a line feed. Whatever follows the line is never looked
// at, so reading it along with the line loses nothing.
std::optional<std::string> readActivationLine() {
  std::string line;
  char chunk[4096];
  for (;;) {
    const ssize_t count = retryOnEintr([&] { return ::read(kStandardInput, chunk, sizeof chunk); });
    if (count <= 0)
      return std::nullopt;
    const auto* end =
        static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(count)));
    if (end)
      return line.append(chunk, static_cast<size_t>(end - chunk));
    line.append(chunk, static_cast<size_t>(count));
    if (line.size() > kMaxActivationLineBytes)
      return std::nullopt;
  }
}

struct SocketIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};

// Start-up failures print one line and exit 1; the socket, once it is known
// to be ours, goes with them.
[[noreturn]] void fail(std::string_view reason,
                       const std::string& socketPath = {},
                       const std::optional<SocketIdentity>& socket = std::nullopt);

class Guardian {
 public:
  int run(const std::vector<std::string>& arguments) {
    handleTerminationSignals();
    start(arguments);
    serve();
    shutdown();
    return 0;
  }

 private:
  void start(const std::vector<std::string>& arguments);
  void serve();
  void serveConnection(int connection);
  void attach(int connection, const LiveProcessIdentity& candidate);
  void reply(int connection, std::string_view line);
  void shutdown();
  [[noreturn]] void failAfterBind(std::string_view reason) {
    fail(reason, socketPath_, socketIdentity_);
  }

  std::string xrayPath_;
  std::string socketPath_;
  ScopedFD server_;
  std::optional<SocketIdentity> socketIdentity_;
  std::string configuration_;
  std::string capability_;
  std::string generation_;
  ChildProcess child_;
  bool stopped_ = false;
  bool ownerEnded_ = false;
  std::optional<LiveProcessIdentity> attached_;
};

void Guardian::start(const std::vector<std::string>& arguments) {
  if (arguments.size() != 5 || arguments[1] != "--xray" || arguments[3] != "--socket")
    fail("invalid arguments");
  xrayPath_ = arguments[2];
  socketPath_ = arguments[4];
  if (socketPath_.size() > platform::kMaxLocalSocketPathBytes)
    fail("invalid control identity");

  // Non-blocking as well, so that a client that vanished between poll and
  // accept cannot stall the loop.
  server_ = platform::newLocalStreamSocket(/*nonBlocking=*/true);
  if (!server_)
    fail("socket");
  if (platform::bindLocal(server_.get(), socketPath_) != 0)
    fail("control socket");
  // Known right after bind, so that every later failure can take the socket
  // away with it: a stale socket file would outlive the guardian.
  struct stat status;
  if (::lstat(socketPath_.c_str(), &status) != 0)
    fail("socket identity");
  socketIdentity_ = SocketIdentity{status.st_dev, status.st_ino};
  if (::chmod(socketPath_.c_str(), 0600) != 0 || ::listen(server_.get(), 1) != 0)
    failAfterBind("control socket");

  auto line = readActivationLine();
  if (!line)
    failAfterBind("configuration");
  auto activation = Activation::decode(*line);
  if (!activation)
    failAfterBind("configuration");
  configuration_ = std::move(activation->configuration);
  capability_ = std::move(activation->capability);
  generation_ = activation->generation.lowercaseString();

  // The engine ends with this process however it ends, SIGKILL included: no
  // record would name an engine that outlived its guardian. Started from the
  // main thread, which lives as long as the guardian does.
  ScopedFD input, feeder;
  if (!platform::newPipe(input, feeder) ||
      !child_.launch(xrayPath_, kXrayArguments, kXrayEnvironment, input.get(),
                     /*standardOutput=*/-1, /*newSession=*/false, /*endWithParent=*/true))
    failAfterBind("xray launch");
  input.reset();
  // Closing the write end is what lets Xray see end-of-file: once READY is
  // out, everything Xray will read is already in the pipe.
  const bool delivered = platform::writeFull(feeder.get(), configuration_);
  feeder.reset();
  if (!delivered) {
    child_.terminateAndReap();
    failAfterBind("xray launch");
  }
  platform::writeFull(STDOUT_FILENO, "READY " + std::to_string(child_.pid()) + "\n");
}

void Guardian::serve() {
  while (child_.isRunning()) {
    if (terminationRequested)
      break;
    if (attached_ && attached_->sessionHasEnded())
      break;
    pollfd descriptors[2] = {
        {ownerEnded_ ? -1 : kStandardInput, POLLIN | POLLHUP, 0},
        {server_.get(), POLLIN, 0},
    };
    if (::poll(descriptors, 2, kPollSliceMilliseconds) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (descriptors[0].revents & (POLLIN | POLLHUP)) {
      char byte;
      if (::read(kStandardInput, &byte, 1) == 0) {
        ownerEnded_ = true;
        if (!attached_)
          stopped_ = true;
      }
    }
    if (descriptors[1].revents & POLLIN) {
      ScopedFD connection = platform::acceptLocalConnection(server_.get());
      if (connection)
        serveConnection(connection.get());
    }
    if (stopped_)
      break;
  }
}

// Every refusal closes the connection without a word: a peer learns nothing
// about why.
void Guardian::serveConnection(int connection) {
  if (platform::peerUserID(connection) != ::geteuid())
    return;
  std::string line;
  try {
    line = GuardianProtocol::readLine(connection, GuardianProtocol::kLineTimeout,
                                      GuardianProtocol::kLineLimit);
  } catch (...) {
    return;
  }
  auto request = parseGuardianRequest(line, capability_, generation_);
  if (!request)
    return;
  switch (request->command) {
    case GuardianCommand::stop:
      stopped_ = true;
      child_.terminateAndReap();
      reply(connection, "STOPPED");
      return;
    case GuardianCommand::attach:
      attach(connection, *request->controller);
      return;
    case GuardianCommand::status: {
      if (!child_.isRunning())
        return;
      auto identity = LiveProcessIdentity::capture(child_.pid());
      if (!identity)
        return;
      reply(connection, GuardianStatus{*identity, attached_}.replyLine());
      return;
    }
  }
}

void Guardian::attach(int connection, const LiveProcessIdentity& candidate) {
  // Only a live group leader of our own user can stand in for the owner; its
  // group is what keeps Xray alive from now on.
  if (candidate.pid != candidate.group || candidate.uid != ::geteuid() || !candidate.isCurrent())
    return;
  // There is no detaching, and a second controller never displaces the first.
  if (attached_ && *attached_ != candidate)
    return;
  attached_ = candidate;
  reply(connection, "ATTACHED");
}

void Guardian::reply(int connection, std::string_view line) {
  try {
    GuardianProtocol::writeLine(line, connection, GuardianProtocol::kLineTimeout);
  } catch (...) {
    // The client is gone or stuck; what it asked for has been done anyway.
  }
}

// Remove only our own socket: if the path now names another file, that file
// belongs to someone else.
void removeSocket(const std::string& path, const std::optional<SocketIdentity>& identity) {
  struct stat status;
  if (identity && ::lstat(path.c_str(), &status) == 0 && status.st_dev == identity->device &&
      status.st_ino == identity->inode)
    ::unlink(path.c_str());
}

void fail(std::string_view reason,
          const std::string& socketPath,
          const std::optional<SocketIdentity>& socket) {
  removeSocket(socketPath, socket);
  std::string line = "guardian: ";
  line.append(reason).push_back('\n');
  platform::writeFull(STDERR_FILENO, line);
  ::_exit(1);
}

void Guardian::shutdown() {
  child_.terminateAndReap();
  removeSocket(socketPath_, socketIdentity_);
  server_.reset();
}

}  // namespace

int runGuardian(const std::vector<std::string>& arguments) {
  Guardian guardian;
  return guardian.run(arguments);
}

}  // namespace korvelin::guardian
