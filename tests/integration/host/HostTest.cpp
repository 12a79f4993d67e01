// korvelin host and the commands that go through it: runs and sidecars side
// by side, a host killed and the next one re-adopting what it left, a clean
// stop, and what the control socket refuses.

#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/apps/BundleInspector.h"
#include "core/apps/LaunchAdapter.h"
#include "core/host/HostControlSocket.h"
#include "core/process/LiveProcessIdentity.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileRepository.h"
#include "core/proxy/VLESSConnectionRepository.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "demo/LoopbackEchoServer.h"
#include "tests/support/BundleFixtures.h"
#include "tests/support/ProcessHelpers.h"
#include "tests/support/ProfileCliTest.h"
#include "tests/support/RealXray.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/XrayPeers.h"

namespace korvelin {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::run;
using testing::Subprocess;

// What a stand-in application does: fetch the echo URL through the proxy its
// command line names, appending each answer to a file in its home.
constexpr const char* kFetcher =
    "proxy=${1#--proxy-server=}; while :; do "
    "/usr/bin/curl --silent --max-time 5 --proxy \"$proxy\" \"$ECHO_URL\" >> \"$HOME/traffic.log\" "
    "&& echo >> \"$HOME/traffic.log\"; sleep 0.2; done";

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { ::chmod(dir_.path().c_str(), 0700); }
  void TearDown() override {
    // The host started on demand leaves once nothing runs; one that still
    // serves (a failed test) is stopped like a service manager would.
    if (auto pid = hostPID())
      ::kill(*pid, SIGTERM);
    eventually([&] { return !testing::exists(socket()); }, 20s);
  }

  std::vector<std::string> korvelin(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {testing::korvelinPath(), "--base", dir_.path()});
    return arguments;
  }
  std::string socket() const { return dir_.child(".host.sock"); }
  std::optional<int> hostPID() {
    if (!testing::exists(socket()))
      return std::nullopt;
    auto ps = run(korvelin({"--no-host-start", "ps", "--json"}));
    auto json = nlohmann::json::parse(ps.output, nullptr, false);
    if (json.is_discarded() || json["host"].is_null())
      return std::nullopt;
    return json["host"].get<int>();
  }
  nlohmann::json ps() {
    auto result = run(korvelin({"ps", "--json"}));
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    return nlohmann::json::parse(result.output)["profiles"];
  }
  ProfilePaths pathsOf(const Uuid& id) const { return ProfilePaths(id, dir_.path()); }
  // A run client whose program is `program` with the profile's data
  // directory on its command line (what re-adoption requires).
  std::unique_ptr<Subprocess> startRun(const Uuid& id,
                                       std::vector<std::string> program,
                                       std::vector<std::string> options = {}) {
    options.insert(options.begin(), "run");
    options.insert(options.end(), {id.uppercaseString(), "--"});
    options.insert(options.end(), program.begin(), program.end());
    options.push_back("--user-data-dir=" + pathsOf(id).userData());
    auto client = std::make_unique<Subprocess>(korvelin(options));
    EXPECT_TRUE(client->waitForOutput("pid ", 30s)) << client->errors();
    return client;
  }

  // `proxy start` of the profile `id` on `link` with the real Xray and the
  // guardian; the sidecar's loopback port.
  int startProxy(const Uuid& id, const std::string& link, const std::string& probeURL) {
    auto started =
        run(korvelin({"proxy", "start", id.uppercaseString(), "--link", link, "--json", "--xray",
                      xray_, "--guardian", testing::guardianPath(), "--probe-url", probeURL}));
    EXPECT_EQ(started.exitCode, 0) << started.errors;
    return nlohmann::json::parse(started.output)["loopbackPort"].get<int>();
  }

  // A loopback REALITY server run by the real Xray (whose path is then in
  // `xray_`); null, with the reason, without one.
  std::unique_ptr<testing::XrayServer> realityServer(std::string& reason) {
    const auto xray = testing::realXrayPath(reason);
    if (!xray)
      return nullptr;
    xray_ = *xray;
    const auto directory = dir_.child("server");
    std::filesystem::create_directory(directory);
    return std::make_unique<testing::XrayServer>(xray_, directory, testing::VlessShape::realityTCP);
  }

  testing::ScopedSubreaper reaper_;
  testing::ScopedTempDir dir_;
  std::string xray_;
};

int rootOf(const nlohmann::json& profile) {
  return profile["run"]["rootPID"].get<int>();
}

// The events of a client's JSON lines, in order.
std::vector<std::string> eventsOf(const std::string& output) {
  std::vector<std::string> events;
  for (const auto& line : testing::jsonLines(output))
    events.push_back(line.value("event", ""));
  return events;
}

// Two proxied runs, each with its own REALITY server whose traffic leaves
// from its own address, and a catalogued Chrome profile launched behind its
// saved connection (its client sees every step): all survive the host's
// SIGKILL with their sidecars, and their clients learn of it; the next host
// re-adopts them and proves their routes. There `stop` prints a launch's
// stop steps and ends a run, and the host's clean stop (SIGTERM) ends what
// still runs: no process, socket, lease or record is left. Last, a client
// following a launch sees the steps of the stop its Ctrl-C asked for, and
// the host leaves once nothing runs.
TEST_F(HostTest, ProxiedRunsAndALaunchOutliveTheirHost) {
  std::string reason;
  const auto xray = testing::realXrayPath(reason);
  if (!xray)
    GTEST_SKIP() << "real Xray unavailable: " << reason;
  xray_ = *xray;
  demo::LoopbackEchoServer echo;
  struct Proxied {
    Uuid id = Uuid::random();
    std::string egress;
    std::unique_ptr<testing::XrayServer> server;
    std::unique_ptr<Subprocess> client;
    int app = 0;
  };
  Proxied profiles[] = {{.egress = "127.0.0.2"}, {.egress = "127.0.0.3"}};
  for (auto& p : profiles) {
    const auto directory = dir_.child("server-" + p.egress);
    std::filesystem::create_directory(directory);
    p.server = std::make_unique<testing::XrayServer>(
        xray_, directory, testing::VlessShape::realityTCP,
        testing::XrayServerOptions{.egressAddress = p.egress});
    const int port = startProxy(p.id, p.server->link(), echo.url());
    p.client = startRun(p.id,
                        {"/bin/sh", "-c", kFetcher, "fetcher",
                         "--proxy-server=socks5://127.0.0.1:" + std::to_string(port)},
                        {"--env", "ECHO_URL=" + echo.url()});
  }
  auto traffic = [&](const Proxied& p) {
    return testing::readText(pathsOf(p.id).home() + "/traffic.log");
  };
  for (auto& p : profiles)
    ASSERT_TRUE(eventually([&] { return traffic(p).find(p.egress) != std::string::npos; }, 20s))
        << traffic(p);
  for (auto& p : profiles)
    EXPECT_EQ(traffic(p).find(p.egress == "127.0.0.2" ? "127.0.0.3" : "127.0.0.2"),
              std::string::npos);

  testing::BundleFixtures bundles;
  const auto& chrome = managedApplication(ManagedApplicationSupport::chromeAdapterIdentifier);
  const std::string bundle = bundles.make(testing::BundleFixtures::layoutFor(chrome));
  const std::string noDefault = "/nonexistent/korvelin-default-base";
  const Uuid connection = Uuid::random();
  VLESSConnectionRepository(dir_.path(), noDefault)
      .create(connection, "Loopback", profiles[0].server->link());
  const auto browser =
      ProfileRepository(dir_.path(), noDefault)
          .create({.id = Uuid::random(), .name = "Browser", .proxyConnectionID = connection},
                  makeBundleInspector(chrome.adapterIdentifier)->inspect(bundle));
  const ProfilePaths paths = pathsOf(browser.id);
  auto launch = [&] {
    auto client = std::make_unique<Subprocess>(
        korvelin({"launch", "Browser", "--json", "--xray", xray_, "--probe-url", echo.url()}));
    EXPECT_TRUE(client->waitForOutput("\"launched\"", 60s)) << client->output() << client->errors();
    return client;
  };
  const std::vector<std::string> launchSteps{
      "profile_loaded",      "application_verified", "proxy_starting", "proxy_ready",
      "application_started", "sidecar_attached",     "launched"};
  const std::vector<std::string> stopSteps{"stop_requested", "application_stopped",
                                           "completion_confirmed", "sidecar_stopped"};
  auto client = launch();
  EXPECT_EQ(eventsOf(client->output()), launchSteps);

  const int killed = *hostPID();
  const auto before = ps();
  ASSERT_EQ(before.size(), 3u) << client->output() << client->errors();
  int app = 0;
  for (const auto& profile : before) {
    EXPECT_EQ(profile["proxy"], "available") << profile.dump();
    if (profile["profileID"] == browser.id.uppercaseString())
      app = rootOf(profile);
    for (auto& p : profiles)
      if (profile["profileID"] == p.id.uppercaseString())
        p.app = rootOf(profile);
  }
  const pid_t guardian = XrayDurableStateStore().readOnly(paths).guardianPID.value_or(0);
  ::kill(killed, SIGKILL);
  ASSERT_TRUE(eventually([&] { return processHasExited(killed); }));
  // The clients learn that their host went away; the runs keep working without it.
  EXPECT_EQ(client->wait().value_or(0) >> 8, 1);
  for (auto& p : profiles) {
    EXPECT_EQ(p.client->wait().value_or(0) >> 8, 1);
    EXPECT_THAT(p.client->errors(), ::testing::HasSubstr("the host ended before the run did"));
    const auto seen = traffic(p).size();
    EXPECT_TRUE(eventually([&] { return traffic(p).size() > seen; }, 10s));
  }
  const auto after = ps();  // starts a new host, which re-adopts all three
  ASSERT_EQ(after.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(after[i]["adopted"].get<bool>());
    EXPECT_EQ(after[i]["proxy"], "available") << after[i].dump();
    EXPECT_EQ(after[i]["run"]["runID"], before[i]["run"]["runID"]);
    EXPECT_EQ(rootOf(after[i]), rootOf(before[i]));
    EXPECT_THAT(after[i]["note"].get<std::string>(), ::testing::HasSubstr("re-adopted run"));
  }
  auto expected = stopSteps;
  expected.push_back("stopped");
  {
    testing::OrphanCollector collector({profiles[0].app, profiles[1].app, app, guardian});
    auto stopped = run(korvelin({"stop", "Browser", "--json"}));
    EXPECT_EQ(stopped.exitCode, 0) << stopped.errors;
    EXPECT_EQ(eventsOf(stopped.output), expected) << stopped.output;
    EXPECT_TRUE(eventually([&] { return !testing::processExists(app); }));
    EXPECT_TRUE(eventually([&] { return !testing::processExists(guardian); }));
    stopped = run(korvelin({"stop", profiles[0].id.uppercaseString()}));
    EXPECT_EQ(stopped.exitCode, 0) << stopped.errors;
    EXPECT_TRUE(eventually([&] { return !testing::exists(pathsOf(profiles[0].id).leaseFile()); }));
    EXPECT_EQ(ps().size(), 1u);  // what the stops ended left the host
    const int host = *hostPID();
    ::kill(host, SIGTERM);
    EXPECT_TRUE(eventually([&] { return processHasExited(host); }, 15s));
    EXPECT_FALSE(testing::exists(socket()));
  }
  EXPECT_FALSE(testing::exists(paths.leaseFile()));
  EXPECT_EQ(XrayDurableStateStore().readOnly(paths).status, XrayDurableState::Status::empty);
  for (auto& p : profiles) {
    EXPECT_TRUE(
        eventually([&] { return testing::reapIfExited(p.app) && !testing::processExists(p.app); }));
    EXPECT_FALSE(testing::exists(pathsOf(p.id).leaseFile()));
    const auto record = XrayDurableStateStore().readOnly(pathsOf(p.id));
    EXPECT_EQ(record.status, XrayDurableState::Status::empty);
    EXPECT_FALSE(record.guardianIdentity && record.guardianIdentity->isCurrent());
  }

  client = launch();
  client->signal(SIGINT);
  ASSERT_TRUE(client->wait(60s)) << client->output() << client->errors();
  expected = launchSteps;
  expected.insert(expected.end(), stopSteps.begin(), stopSteps.end());
  expected.push_back("completed");
  EXPECT_EQ(eventsOf(client->output()), expected) << client->output();
  EXPECT_TRUE(eventually([&] { return !testing::exists(socket()); }, 20s));
  EXPECT_FALSE(testing::exists(paths.leaseFile()));
}

// One host: a connection from another user is closed without a byte;
// malformed, oversized and half-sent requests get a one-line error and the
// host goes on. Then twenty profiles at once, five of them with sidecars:
// all run, `ps` lists them, all stop, and the host's descriptors return to
// where they started.
TEST_F(HostTest, OneHostRefusesStrangersAndServesTwentyProfiles) {
  ASSERT_EQ(run(korvelin({"host"})).exitCode, 0);
  const std::string path = socket();
  EXPECT_EQ(testing::modeOf(path), 0600u);

  // Another user, allowed past the file's mode (it keeps the power to ignore
  // permissions), so that only the host's own check is left to refuse it.
  const pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_KEEPCAPS, 1);
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
      ::_exit(10);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    data[0].effective = data[0].permitted = 1u << CAP_DAC_OVERRIDE;
    if (::syscall(SYS_capset, &header, data) != 0)
      ::_exit(11);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      ::_exit(12);
    const char request[] = "{\"operation\":\"ps\"}\n";
    // The host may have closed already: that must not end the child.
    [[maybe_unused]] auto sent = ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
    char reply[64];
    ::_exit(::read(fd, reply, sizeof reply) > 0 ? 13 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

  auto exchange = [&](const std::string& bytes, bool halfClose) {
    auto fd = connectToHost(dir_.path());
    EXPECT_TRUE(fd.valid());
    size_t sent = 0;
    while (sent < bytes.size()) {
      const auto n = ::send(fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0)
        break;  // the host stopped reading an oversized request
      sent += static_cast<size_t>(n);
    }
    if (halfClose)
      ::shutdown(fd.get(), SHUT_WR);
    HostReplyReader reader(std::move(fd));
    bool closed = false;
    auto reply = reader.next(10000, closed);
    return reply ? reply->value("message", "") : std::string("(closed)");
  };
  const struct {
    std::string bytes;
    bool halfClose;
    std::string expected;
  } cases[] = {
      {"{\"operation\":\"format\"}\n", false, "unknown operation"},
      {std::string(70000, 'x'), false, "request too large"},
      {"{\"operation\":\"ps\"", true, "the request ended before its line feed"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(exchange(c.bytes, c.halfClose), c.expected) << c.bytes.substr(0, 40);
  EXPECT_EQ(ps().size(), 0u);  // still serving
  // A command that changes files of the base works under the host's lease.
  auto prepared = run(korvelin({"prepare", Uuid::random().uppercaseString()}));
  EXPECT_EQ(prepared.exitCode, 0) << prepared.errors;

  std::string reason;
  const auto server = realityServer(reason);
  if (!server)
    GTEST_SKIP() << "real Xray unavailable: " << reason;
  demo::LoopbackEchoServer echo;
  const int host = *hostPID();
  auto figures = [&] {
    std::string rss;
    std::ifstream status("/proc/" + std::to_string(host) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("VmRSS:"))
        rss = line.substr(6);
    return std::make_pair(
        rss, std::distance(
                 std::filesystem::directory_iterator("/proc/" + std::to_string(host) + "/fd"), {}));
  };
  const auto start = figures();

  std::vector<Uuid> ids;
  std::generate_n(std::back_inserter(ids), 20, &Uuid::random);
  std::vector<std::string> proxies(20);
  for (size_t i = 0; i < 5; ++i)
    proxies[i] = "--proxy-server=socks5://127.0.0.1:" +
                 std::to_string(startProxy(ids[i], server->link(), echo.url()));
  std::vector<std::unique_ptr<Subprocess>> clients;
  const std::string app = testing::testProgramPath("idle-app");
  for (size_t i = 0; i < ids.size(); ++i) {
    std::vector<std::string> argv = korvelin({"run", ids[i].uppercaseString(), "--", app,
                                              "--user-data-dir=" + pathsOf(ids[i]).userData()});
    if (!proxies[i].empty())
      argv.push_back(proxies[i]);
    clients.push_back(std::make_unique<Subprocess>(argv));
  }
  for (auto& client : clients)
    ASSERT_TRUE(client->waitForOutput("pid ", 60s)) << client->errors();
  const auto peak = figures();
  const auto listed = ps();
  ASSERT_EQ(listed.size(), 20u);
  EXPECT_EQ(std::count_if(listed.begin(), listed.end(),
                          [](const auto& profile) { return profile["proxy"] == "available"; }),
            5);
  for (const auto& id : ids)
    EXPECT_EQ(run(korvelin({"stop", id.uppercaseString()})).exitCode, 0);
  for (auto& client : clients)
    EXPECT_EQ(client->wait().value_or(-1) >> 8, 128 + SIGTERM);
  EXPECT_TRUE(eventually([&] { return figures().second == start.second; }, 10s));
  const auto end = figures();
  std::cout << "host memory (VmRSS) at start:" << start.first << ", with 20 runs:" << peak.first
            << ", after:" << end.first << "; descriptors " << start.second << ", " << peak.second
            << ", " << end.second << std::endl;
  EXPECT_EQ(end.second, start.second);
  EXPECT_EQ(ps().size(), 0u);
}

}  // namespace
}  // namespace korvelin
