#include "core/youtrack/YouTrackMCPGateway.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "core/base/CoreError.h"
#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/ScopedSigpipeBlock.h"
#include "core/text/Utf8.h"
#include "core/youtrack/YouTrackGatewayRequest.h"

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kReceiveChunk = 16384;
constexpr std::size_t kSendSlice = 262144;
constexpr std::string_view kTerminator = "\r\n\r\n";
// Client headers forwarded upstream, and upstream headers relayed back.
constexpr std::array<std::string_view, 5> kForwardedHeaders = {
    "accept", "content-type", "mcp-protocol-version", "mcp-session-id", "last-event-id"};
constexpr std::array<std::string_view, 5> kRelayedHeaders = {
    "Content-Type", "MCP-Protocol-Version", "Mcp-Session-Id", "Retry-After", "Cache-Control"};

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(std::max(seconds, 0.0)));
}

// Milliseconds left until `deadline`, 0 when it has passed.
int millisecondsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

bool hasLineBreak(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Writes all of `bytes` to a non-blocking socket, each slice within
// `seconds`; false when a slice could not be written in time or the peer went.
bool sendWithin(int fd, std::string_view bytes, double seconds) {
  while (!bytes.empty()) {
    const std::string_view slice = bytes.substr(0, kSendSlice);
    const auto deadline = after(seconds);
    std::size_t sent = 0;
    while (sent < slice.size()) {
      pollfd entry{fd, POLLOUT, 0};
      const int ready =
          retryOnEintr([&] { return ::poll(&entry, 1, millisecondsUntil(deadline)); });
      if (ready <= 0 || (entry.revents & (POLLERR | POLLHUP | POLLNVAL)))
        return false;
      const ssize_t written = platform::sendNoSignal(fd, slice.data() + sent, slice.size() - sent);
      if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        return false;
      if (written > 0)
        sent += static_cast<std::size_t>(written);
    }
    bytes.remove_prefix(slice.size());
  }
  return true;
}

}  // namespace

bool isAcceptableGatewayUpstream(const std::string& url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
  if (!parsed || url.find_first_of(" \t\r\n") != std::string::npos ||
      curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return false;
  auto part = [&](CURLUPart which) -> std::optional<std::string> {
    char* value = nullptr;
    if (curl_url_get(parsed.get(), which, &value, 0) != CURLUE_OK || !value)
      return std::nullopt;
    std::string text(value);
    curl_free(value);
    return text;
  };
  const auto scheme = part(CURLUPART_SCHEME);
  const auto host = part(CURLUPART_HOST);
  if (part(CURLUPART_USER) || part(CURLUPART_QUERY) || part(CURLUPART_FRAGMENT) || !host ||
      part(CURLUPART_PATH) != "/mcp")
    return false;
  if (scheme == "https")
    return true;
  return scheme == "http" && (*host == "127.0.0.1" || *host == "localhost" || *host == "[::1]");
}

struct GatewayServer::State : std::enable_shared_from_this<GatewayServer::State> {
  // One accepted client. `fd` belongs to the thread serving it; the others
  // reach it only under `lock`, to shut it down or wake its exchange.
  struct Connection {
    ScopedFD fd;
    std::atomic<bool> cancelled{false};
    CURLM* multi = nullptr;  // guarded by `lock`: the running exchange's, to wake it
  };

  std::string capability;
  YouTrackGatewayUpstream upstream;
  std::string authorization;  // "Authorization: Bearer <token>"
  std::optional<std::string> proxy;
  YouTrackGatewayTiming timing;

  ScopedFD listener;
  ScopedFD wakeRead, wakeWrite;
  std::thread acceptor;
  bool started = false;

  std::mutex lock;
  std::condition_variable idle;
  bool stopping = false;
  std::uint64_t nextID = 0;
  std::map<std::uint64_t, std::shared_ptr<Connection>> connections;

  ~State() { wipe(authorization); }

  static void wipe(std::string& secret) {
    volatile char* bytes = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i)
      bytes[i] = 0;
    secret.clear();
  }

  void acceptLoop();
  void serve(const std::shared_ptr<Connection>& connection);
  void respond(Connection& connection, int status);
  void forward(Connection& connection, const HTTPRequest& request);
  void remove(std::uint64_t id);
};

namespace {

// The upstream exchange of one forwarded request: what libcurl calls back with.
struct Relay {
  int client = -1;
  const YouTrackGatewayTiming* timing = nullptr;
  CURL* easy = nullptr;
  std::vector<std::pair<std::string, std::string>> headers;  // of the current response
  bool sentHeaders = false;
  bool clientFailed = false;
  double idleSeconds = 0;
  Clock::time_point deadline;  // response head, then idle limit

  void rearm() { deadline = after(idleSeconds); }

  // The head the client gets: the status, the relayed headers, and no length
  // (the body ends when the connection closes).
  std::string head() const {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    std::string text =
        "HTTP/1.1 " + std::to_string(status) + " " + std::string(httpReasonPhrase(status)) + "\r\n";
    for (std::string_view name : kRelayedHeaders) {
      std::optional<std::string> value;
      for (const auto& [received, content] : headers)
        if (equalsIgnoringCase(received, name))
          value = value ? *value + ", " + content : content;
      if (value && !hasLineBreak(*value))
        text += std::string(name) + ": " + *value + "\r\n";
    }
    return text + "Connection: close\r\n\r\n";
  }

  bool isEventStream() const {
    for (const auto& [name, value] : headers)
      if (equalsIgnoringCase(name, "content-type")) {
        std::string lower = value;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower.find("text/event-stream") != std::string::npos)
          return true;
      }
    return false;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* relay = static_cast<Relay*>(user);
    const std::size_t length = size * count;
    std::string_view line(data, length);
    if (line.starts_with("HTTP/")) {
      relay->headers.clear();  // a new response (after an informational one)
      return length;
    }
    if (line == "\r\n" || line == "\n") {
      long status = 0;
      curl_easy_getinfo(relay->easy, CURLINFO_RESPONSE_CODE, &status);
      if (status < 200)
        return length;  // informational: the real head follows
      if (!sendWithin(relay->client, relay->head(), relay->timing->send)) {
        relay->clientFailed = true;
        return 0;
      }
      relay->sentHeaders = true;
      relay->idleSeconds =
          relay->isEventStream() ? relay->timing->sseIdle : relay->timing->ordinaryIdle;
      relay->rearm();
      return length;
    }
    if (line.ends_with("\r\n"))
      line.remove_suffix(2);
    else if (line.ends_with("\n"))
      line.remove_suffix(1);
    const auto colon = line.find(':');
    if (colon != std::string_view::npos && colon > 0)
      relay->headers.emplace_back(std::string(line.substr(0, colon)),
                                  std::string(trimmedHeaderValue(line.substr(colon + 1))));
    return length;
  }

  static size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* relay = static_cast<Relay*>(user);
    const std::size_t length = size * count;
    if (!relay->sentHeaders)
      return 0;
    relay->rearm();
    std::string_view bytes(data, length);
    while (!bytes.empty()) {
      if (!sendWithin(relay->client, bytes.substr(0, kSendSlice), relay->timing->send)) {
        relay->clientFailed = true;
        return 0;
      }
      bytes.remove_prefix(std::min(bytes.size(), kSendSlice));
      relay->rearm();
    }
    return length;
  }
};

struct CurlList {
  curl_slist* list = nullptr;
  ~CurlList() { curl_slist_free_all(list); }
  bool append(const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (grown)
      list = grown;
    return grown != nullptr;
  }
};

}  // namespace

GatewayServer::GatewayServer(std::string capability,
                             YouTrackGatewayUpstream upstream,
                             std::string token,
                             std::optional<ProfileProxyConfiguration> proxy,
                             YouTrackGatewayTiming timing)
    : state_(std::make_shared<State>()) {
  static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialized || !isAcceptableGatewayUpstream(upstream.url))
    throw KorvelinCoreError::youTrackGatewayUnavailable();
  const std::string repaired = replacingInvalidUtf8(token);
  State::wipe(token);
  if (hasLineBreak(repaired))
    throw KorvelinCoreError::invalidYouTrackToken();
  state_->capability = std::move(capability);
  state_->upstream = std::move(upstream);
  state_->authorization = "Authorization: Bearer " + repaired;
  state_->timing = timing;
  if (proxy) {
    // Host names are resolved by a SOCKS proxy, never here: the upstream's
    // name does not leave through the system route either.
    const std::string endpoint = proxy->endpoint();
    state_->proxy =
        (proxy->scheme == ProfileProxyScheme::socks5 ? "socks5h://" : "http://") + endpoint;
  }
}

GatewayServer::~GatewayServer() {
  stop();
}

const std::string& GatewayServer::capability() const {
  return state_->capability;
}

std::uint16_t GatewayServer::start() {
  State& state = *state_;
  std::lock_guard guard(state.lock);
  if (state.started || state.stopping)
    throw KorvelinCoreError::youTrackGatewayUnavailable();
  ScopedFD listener = platform::newInternetStreamSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (!listener ||
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 64) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ntohs(address.sin_port) == 0 || !platform::newPipe(state.wakeRead, state.wakeWrite))
    throw KorvelinCoreError::youTrackGatewayUnavailable();
  state.listener = std::move(listener);
  state.started = true;
  state.acceptor = std::thread([keep = state_] { keep->acceptLoop(); });
  return ntohs(address.sin_port);
}

void GatewayServer::stop() {
  State& state = *state_;
  {
    std::lock_guard guard(state.lock);
    if (state.stopping)
      return;
    state.stopping = true;
    if (state.wakeWrite)
      (void)retryOnEintr([&] { return ::write(state.wakeWrite.get(), "x", 1); });
  }
  if (state.acceptor.joinable())
    state.acceptor.join();
  std::unique_lock guard(state.lock);
  state.listener.reset();
  for (auto& [id, connection] : state.connections) {
    connection->cancelled = true;
    ::shutdown(connection->fd.get(), SHUT_RDWR);
    if (connection->multi)
      curl_multi_wakeup(connection->multi);
  }
  state.idle.wait(guard, [&] { return state.connections.empty(); });
}

void GatewayServer::State::acceptLoop() {
  for (;;) {
    pollfd entries[2] = {{listener.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
    if (retryOnEintr([&] { return ::poll(entries, 2, -1); }) < 0 || entries[1].revents)
      return;
    if (!(entries[0].revents & POLLIN))
      continue;
    ScopedFD accepted = platform::acceptConnection(listener.get(), true);
    if (!accepted)
      continue;
    std::lock_guard guard(lock);
    if (stopping || connections.size() >= static_cast<std::size_t>(kMaximumConnections))
      continue;  // closed at once, without an answer
    auto connection = std::make_shared<Connection>();
    connection->fd = std::move(accepted);
    const std::uint64_t id = nextID++;
    connections.emplace(id, connection);
    std::thread([self = shared_from_this(), connection, id] {
      self->serve(connection);
      self->remove(id);
    }).detach();
  }
}

void GatewayServer::State::remove(std::uint64_t id) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard guard(lock);
    auto found = connections.find(id);
    if (found == connections.end())
      return;
    connection = std::move(found->second);
    connections.erase(found);
    connection->fd.reset();
    if (connections.empty())
      idle.notify_all();
  }
}

void GatewayServer::State::serve(const std::shared_ptr<Connection>& connection) {
  platform::ScopedSigpipeBlock noSigpipe;
  const int fd = connection->fd.get();
  std::string received;
  auto deadline = after(timing.header);
  bool bodyPhase = false;
  bool clientFinished = false;
  char buffer[kReceiveChunk];
  for (;;) {
    if (connection->cancelled)
      return;
    pollfd entry{fd, POLLIN, 0};
    const int ready = retryOnEintr([&] { return ::poll(&entry, 1, millisecondsUntil(deadline)); });
    if (ready <= 0 || connection->cancelled)
      return;  // a head or body timeout: no answer
    const ssize_t count = retryOnEintr([&] { return ::recv(fd, buffer, sizeof buffer, 0); });
    if (count < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        continue;
      return;
    }
    if (count == 0)
      clientFinished = true;
    received.append(buffer, static_cast<std::size_t>(count));
    if (received.size() > kGatewayMaximumRequest)
      return respond(*connection, 413);
    if (!bodyPhase && received.find(kTerminator) != std::string::npos) {
      bodyPhase = true;
      deadline = after(timing.body);
    }
    ParseResult result = parseGatewayRequest(received, capability);
    if (const auto* failure = std::get_if<ParseFailure>(&result))
      return respond(*connection, failure->status);
    if (auto* request = std::get_if<HTTPRequest>(&result)) {
      received.clear();
      return forward(*connection, *request);
    }
    if (clientFinished)
      return respond(*connection, 400);
  }
}

// The refusal in one piece, then a close that lets the client read it: the
// request may still be arriving, and closing on unread bytes would reset
// the connection before the answer is seen. What follows is read and
// dropped for at most a second.
void GatewayServer::State::respond(Connection& connection, int status) {
  const int fd = connection.fd.get();
  if (!sendWithin(fd, gatewayErrorResponse(status), timing.send))
    return;
  ::shutdown(fd, SHUT_WR);
  const auto deadline = after(1);
  char buffer[kReceiveChunk];
  std::size_t drained = 0;
  while (!connection.cancelled && drained < kGatewayMaximumRequest) {
    pollfd entry{fd, POLLIN, 0};
    if (retryOnEintr([&] { return ::poll(&entry, 1, millisecondsUntil(deadline)); }) <= 0)
      return;
    const ssize_t count = retryOnEintr([&] { return ::recv(fd, buffer, sizeof buffer, 0); });
    if (count <= 0 && !(count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
      return;
    drained += static_cast<std::size_t>(std::max<ssize_t>(count, 0));
  }
}

void GatewayServer::State::forward(Connection& connection, const HTTPRequest& request) {
  const int client = connection.fd.get();
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), &curl_easy_cleanup);
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                              &curl_multi_cleanup);
  if (!easy || !multi) {
    sendWithin(client, gatewayErrorResponse(502), timing.send);
    return;
  }

  // Only the listed client headers, under their own names, and the token.
  // libcurl's own defaults that the client did not ask for are taken out.
  CurlList headers;
  bool listed = true;
  for (std::string_view name : kForwardedHeaders) {
    const auto found = request.headers.find(std::string(name));
    if (found != request.headers.end() && !hasLineBreak(found->second))
      listed = listed && headers.append(std::string(name) + ": " + found->second);
    else if (name == "accept" || name == "content-type")
      listed = listed && headers.append(std::string(name) + ":");
  }
  listed = listed && headers.append("Expect:") && headers.append(authorization);

  Relay relay;
  relay.client = client;
  relay.timing = &timing;
  relay.easy = easy.get();
  relay.idleSeconds = timing.responseHeader;
  relay.rearm();

  CURL* handle = easy.get();
  bool configured =
      listed && curl_easy_setopt(handle, CURLOPT_URL, upstream.url.c_str()) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_PROXY, proxy ? proxy->c_str() : "") == CURLE_OK &&
      // A proxy is used for every host, loopback included, whatever the
      // environment's no_proxy says; without one, the environment's proxies
      // are ignored.
      curl_easy_setopt(handle, CURLOPT_NOPROXY, "") == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_COOKIEFILE, nullptr) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.list) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Relay::onHeader) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_HEADERDATA, &relay) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Relay::onData) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_WRITEDATA, &relay) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, static_cast<long>(kSendSlice)) == CURLE_OK;
  if (upstream.certificateAuthorities)
    configured =
        configured && curl_easy_setopt(handle, CURLOPT_CAINFO,
                                       upstream.certificateAuthorities->c_str()) == CURLE_OK;
  if (request.method == "POST" || !request.body.empty())
    configured = configured &&
                 curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                                  static_cast<curl_off_t>(request.body.size())) == CURLE_OK &&
                 curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data()) == CURLE_OK;
  if (request.method != "POST" && request.method != "GET")
    configured = configured && curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST,
                                                request.method.c_str()) == CURLE_OK;
  if (!configured || curl_multi_add_handle(multi.get(), handle) != CURLM_OK) {
    sendWithin(client, gatewayErrorResponse(502), timing.send);
    return;
  }
  {
    std::lock_guard guard(lock);
    if (connection.cancelled) {
      curl_multi_remove_handle(multi.get(), handle);
      return;
    }
    connection.multi = multi.get();
  }

  // Runs the exchange until it ends, the time limit of its phase passes, or
  // the client closes, sends anything more, or the gateway stops.
  CURLcode outcome = CURLE_OK;
  bool ended = false;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      outcome = CURLE_FAILED_INIT;
      break;
    }
    if (!running) {
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi.get(), &left))
        if (message->msg == CURLMSG_DONE)
          outcome = message->data.result;
      ended = true;
      break;
    }
    if (relay.clientFailed || connection.cancelled)
      break;
    const int wait = millisecondsUntil(relay.deadline);
    if (wait == 0) {
      outcome = CURLE_OPERATION_TIMEDOUT;
      break;
    }
    curl_waitfd watch{client, CURL_WAIT_POLLIN, 0};
    if (curl_multi_poll(multi.get(), &watch, 1, std::min(wait, 1000), nullptr) != CURLM_OK) {
      outcome = CURLE_FAILED_INIT;
      break;
    }
    if (watch.revents || connection.cancelled) {
      connection.cancelled = true;  // the client closed or sent more: nobody to answer
      break;
    }
  }
  {
    std::lock_guard guard(lock);
    connection.multi = nullptr;
  }
  curl_multi_remove_handle(multi.get(), handle);
  if (connection.cancelled || relay.clientFailed)
    return;
  // An upstream that failed or fell silent before its head is a 502; after
  // the head, the client's stream just ends.
  if (!relay.sentHeaders && !(ended && outcome == CURLE_OK))
    sendWithin(client, gatewayErrorResponse(502), timing.send);
}

}  // namespace korvelin
