// What the guardian costs a proxied launch:
//   GuardianStart:     launch to "READY " against launching the stand-in
//                      engine directly and handing it the same configuration;
//   GuardianListening: launch until the SOCKS port accepts, both ways;
//   GuardianRequest:   a STATUS round trip through the core's client against
//                      the bare exchange on the socket.
// The guardian's peak resident memory (VmHWM, read while it runs: the
// kernel's figure after exit would include its engine) is the counter
// "peakRSS_KiB", for freshly ready guardians and for one that served a run
// of STATUS requests.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include <benchmark/benchmark.h>

#include "bench/ChildrenCpu.h"
#include "core/base/CoreError.h"
#include "core/guardian/GuardianClient.h"
#include "core/guardian/GuardianProtocol.h"
#include "core/platform/FileUtil.h"
#include "core/platform/LocalSocket.h"
#include "tests/support/GuardianHarness.h"

namespace {

using namespace korvelin;
using Clock = std::chrono::steady_clock;
using platform::ScopedFD;

// A child started with posix_spawn (as the core starts the guardian, and the
// guardian its engine), its standard input and output on pipes.
struct Child {
  pid_t pid = -1;
  ScopedFD input;   // write end of the child's standard input
  ScopedFD output;  // read end of the child's standard output
};

Child launch(const std::vector<std::string>& argv) {
  ScopedFD inRead, inWrite, outRead, outWrite;
  platform::newPipe(inRead, inWrite);
  platform::newPipe(outRead, outWrite);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inRead.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  char path[] = "PATH=/usr/bin:/bin";
  char* environment[] = {path, nullptr};
  Child child;
  if (posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), environment) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  child.input = std::move(inWrite);
  child.output = std::move(outRead);
  return child;
}

void stopAndReap(pid_t pid) {
  ::kill(pid, SIGTERM);
  int status;
  ::waitpid(pid, &status, 0);
}

// The most resident memory the process has had so far, in KiB.
long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (status >> key)
    if (key == "VmHWM:" && status >> value)
      break;
  return value;
}

bool readReady(int fd) {
  std::string line;
  char byte;
  while (::read(fd, &byte, 1) == 1) {
    if (byte == '\n')
      return parseReadyLine(line).has_value();
    line.push_back(byte);
  }
  return false;
}

bool accepts(std::uint16_t port) {
  ScopedFD fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

void waitUntilListening(std::uint16_t port) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!accepts(port) && Clock::now() < deadline)
    std::this_thread::yield();
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One start, until the configuration is delivered (untilListening = false)
// or the SOCKS port accepts. Returns the seconds it took.
double startEngine(const std::string& configuration, std::uint16_t port, bool untilListening) {
  const auto start = Clock::now();
  Child engine = launch({testing::testProgramPath("standin-xray"), "run", "-config", "stdin:"});
  platform::writeFull(engine.input.get(), configuration);
  engine.input.reset();
  if (untilListening)
    waitUntilListening(port);
  const double elapsed = secondsSince(start);
  stopAndReap(engine.pid);
  return elapsed;
}

double startGuardian(const std::string& configuration,
                     std::uint16_t port,
                     bool untilListening,
                     long& peakKiB) {
  const Uuid generation = Uuid::random();
  const std::string line =
      Activation{testing::randomCapability(), configuration, generation}.encode() + "\n";
  const auto start = Clock::now();
  Child guardian =
      launch({testing::guardianPath(), "--xray", testing::testProgramPath("standin-xray"),
              "--socket", guardianSocketPath(generation)});
  platform::writeFull(guardian.input.get(), line);
  const bool ready = readReady(guardian.output.get());
  if (ready && untilListening)
    waitUntilListening(port);
  const double elapsed = secondsSince(start);
  peakKiB = std::max(peakKiB, peakResidentKiB(guardian.pid));
  guardian.input.reset();  // the owner leaves: the guardian stops its engine and exits
  int status;
  ::waitpid(guardian.pid, &status, 0);
  return ready ? elapsed : -1;
}

void engineDirectly(benchmark::State& state, bool untilListening) {
  const auto port = testing::unusedLoopbackPort();
  const auto configuration = testing::engineConfiguration(port);
  bench::ChildrenCpu children(state);
  for (auto _ : state)
    state.SetIterationTime(startEngine(configuration, port, untilListening));
}

void throughGuardian(benchmark::State& state, bool untilListening) {
  const auto port = testing::unusedLoopbackPort();
  const auto configuration = testing::engineConfiguration(port);
  long peakKiB = 0;
  bench::ChildrenCpu children(state);
  for (auto _ : state) {
    const double elapsed = startGuardian(configuration, port, untilListening, peakKiB);
    if (elapsed < 0) {
      state.SkipWithError("the guardian did not become ready");
      break;
    }
    state.SetIterationTime(elapsed);
  }
  state.counters["peakRSS_KiB"] = static_cast<double>(peakKiB);
}

BENCHMARK_CAPTURE(engineDirectly, start, false)
    ->Name("GuardianStart/baseline:engine")
    ->MeasureProcessCPUTime()
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(throughGuardian, start, false)
    ->Name("GuardianStart/guardian")
    ->MeasureProcessCPUTime()
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(engineDirectly, listening, true)
    ->Name("GuardianListening/baseline:engine")
    ->MeasureProcessCPUTime()
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(throughGuardian, listening, true)
    ->Name("GuardianListening/guardian")
    ->MeasureProcessCPUTime()
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A guardian serving STATUS for a whole benchmark.
struct ServingGuardian {
  testing::GuardianProcess process;
  ServingGuardian()
      : process({testing::testProgramPath("standin-xray"),
                 testing::engineConfiguration(testing::unusedLoopbackPort()),
                 {}}) {
    process.waitUntilReady();
  }
};

void rawStatus(benchmark::State& state) {
  ServingGuardian guardian;
  const std::string line = guardian.process.requestLine("STATUS") + "\n";
  for (auto _ : state) {
    auto reply = testing::rawExchange(guardian.process.socketPath(), line);
    if (!reply || reply->rfind("STATUS ", 0) != 0) {
      state.SkipWithError("no STATUS reply");
      break;
    }
  }
}
BENCHMARK(rawStatus)
    ->Name("GuardianRequest/baseline:rawStatus")
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

void clientStatus(benchmark::State& state) {
  ServingGuardian guardian;
  for (auto _ : state) {
    try {
      benchmark::DoNotOptimize(GuardianStatus::fromReplyLine(guardian.process.request("STATUS")));
    } catch (const KorvelinCoreError&) {
      state.SkipWithError("STATUS failed");
      break;
    }
  }
  state.counters["peakRSS_KiB"] = static_cast<double>(peakResidentKiB(guardian.process.pid()));
}
BENCHMARK(clientStatus)
    ->Name("GuardianRequest/status")
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
