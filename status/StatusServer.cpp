#include "status/StatusServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "status/HttpLibrary.h"
#include "status/StatusHealth.h"
#include "figures/StatusJson.h"
#include "status/StatusMetrics.h"
#include "status/StatusPage.h"
#include "figures/StatusKeeper.h"
#include "runtime/Exception.h"

namespace tarvix {

namespace {

MHD_Result Reply(MHD_Connection* connection, const TStatusServer::TAnswer& answer) {
  const THttpLibrary& http = THttpLibrary::Get();
  MHD_Response* response = http.CreateResponseFromBuffer(answer.Body.size(), const_cast<char*>(answer.Body.data()),
                                                         MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  http.AddResponseHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.ContentType);
  http.AddResponseHeader(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (answer.Status == MHD_HTTP_METHOD_NOT_ALLOWED) http.AddResponseHeader(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result result = http.QueueResponse(connection, answer.Status, response);
  http.DestroyResponse(response);
  return result;
}

// The library's request callback, on its thread. A GET or HEAD is answered
// on the second call, once the library has the whole request (so that the
// connection stays open for the next one); anything else on the first, its
// body unread (the connection is then closed).
MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*uploadData*/, std::size_t* uploadSize, void** context) {
  static int headersSeen;
  auto& server = *static_cast<TStatusServer*>(cls);
  const std::string_view verb = method ? method : "";
  const bool plain = verb == MHD_HTTP_METHOD_GET || verb == MHD_HTTP_METHOD_HEAD;
  if (!*context) {
    server.Watch().Received(connection);
    *context = &headersSeen;
    if (plain && *uploadSize == 0) return MHD_YES;
  }
  try {
    const THttpLibrary& http = THttpLibrary::Get();
    const char* host = http.LookupValue(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    const char* endpoints = http.LookupValue(connection, MHD_GET_ARGUMENT_KIND, "endpoints");
    TStatusServer::TRequest request{verb, url ? url : "", host ? host : "", std::nullopt};
    if (endpoints) request.Endpoints = endpoints;
    if (request.Path == TStatusServer::kCapturePath) {
      if (const auto refusal = server.CaptureRefusal(request)) return Reply(connection, *refusal);
      const char* follow = http.LookupValue(connection, MHD_GET_ARGUMENT_KIND, "follow");
      return server.Captures().Serve(connection, follow && std::string_view(follow) != "0") ? MHD_YES : MHD_NO;
    }
    return Reply(connection, server.Answer(request));
  } catch (...) {
    // Out of memory while rendering: the library closes the connection.
    return MHD_NO;
  }
}

void OnConnection(void* cls, MHD_Connection* connection, void** /*socketContext*/, MHD_ConnectionNotificationCode code) {
  auto& server = *static_cast<TStatusServer*>(cls);
  try {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = THttpLibrary::Get().GetConnectionInfo(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      server.Watch().Began(connection, info ? info->connect_fd : -1, std::chrono::steady_clock::now());
    } else {
      server.Watch().Closed(connection);
    }
  } catch (...) {
    // Out of memory: the connection goes unwatched; the idle time-out still holds.
  }
}

void OnCompleted(void* cls, MHD_Connection* connection, void** /*context*/, MHD_RequestTerminationCode /*code*/) {
  static_cast<TStatusServer*>(cls)->Watch().Answered(connection, std::chrono::steady_clock::now());
}

// The query's endpoints=N, decimal digits, taken as at most the most the
// snapshot lists; none when malformed.
std::optional<std::size_t> EndpointLimit(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  std::size_t n = 0;
  for (const char c : text)
    n = std::min(n * 10 + static_cast<std::size_t>(c - '0'), TStatusKeeper::kMaxEndpointsShown);
  return n;
}

}  // namespace

TStatusServer::TAnswer TStatusServer::Answer(const TRequest& request) const {
  const std::string_view method = request.Method;
  const std::string_view path = request.Path;
  TAnswer a;
  if (!hosts_.Allows(request.Host)) {
    a.Status = MHD_HTTP_MISDIRECTED_REQUEST;
    a.Body = "misdirected request: this server does not answer to that host name\n";
    return a;
  }
  const bool known = path == "/" || path == "/status.json" || path == "/metrics" || path == "/healthz" ||
                     path == "/livez" || path == "/readyz";
  if (!known) {
    a.Status = MHD_HTTP_NOT_FOUND;
    a.Body = "not found\n";
    return a;
  }
  if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
    a.Status = MHD_HTTP_METHOD_NOT_ALLOWED;
    a.Body = "method not allowed\n";
    return a;
  }
  if (path == "/") {
    a.ContentType = "text/html; charset=utf-8";
    a.Body = kStatusPage;
    return a;
  }
  const std::shared_ptr<const TStatusSnapshot> snapshot = box_.Get();
  if (path == "/healthz" || path == "/readyz" || path == "/livez") {
    const auto now = std::chrono::steady_clock::now();
    const std::string problem = path == "/livez" ? LivenessProblem(snapshot.get(), now) : HealthProblem(snapshot.get(), now);
    a.Status = problem.empty() ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE;
    a.Body = (problem.empty() ? "ok" : problem) + "\n";
    return a;
  }
  if (!snapshot) {
    a.Status = MHD_HTTP_SERVICE_UNAVAILABLE;
    a.Body = "no status yet\n";
    return a;
  }
  if (path == "/status.json") {
    std::size_t limit = TStatusKeeper::kMaxEndpointsShown;
    if (request.Endpoints) {
      const auto n = EndpointLimit(*request.Endpoints);
      if (!n) {
        a.Status = MHD_HTTP_BAD_REQUEST;
        a.Body = "endpoints must be a whole number (decimal digits)\n";
        return a;
      }
      limit = *n;
    }
    a.ContentType = "application/json";
    a.Body = StatusJson(*snapshot, limit);
  } else {
    a.ContentType = kMetricsContentType;
    a.Body = StatusMetrics(*snapshot);
  }
  return a;
}

std::optional<TStatusServer::TAnswer> TStatusServer::CaptureRefusal(const TRequest& request) const {
  TAnswer a;
  if (!hosts_.Allows(request.Host)) return Answer(request);  // the misdirected request's answer
  const std::string_view method = request.Method;
  if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
    a.Status = MHD_HTTP_METHOD_NOT_ALLOWED;
    a.Body = "method not allowed\n";
    return a;
  }
  if (!captures_.Ring()) {
    a.Status = MHD_HTTP_NOT_FOUND;
    a.Body = "no capture: the relay runs without --record\n";
    return a;
  }
  return std::nullopt;
}

void TStatusServer::Start(const std::string& ip, std::uint16_t port, std::vector<std::string> hostNames) {
  Stop();
  hosts_ = TStatusHosts(ip, std::move(hostNames));
  captures_.Restart();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) throw Exception("Invalid status address " + ip);
  const THttpLibrary& http = THttpLibrary::Get();
  errno = 0;
  daemon_ = http.StartDaemon(MHD_USE_POLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, port, nullptr, nullptr, &OnRequest,
                             this, MHD_OPTION_SOCK_ADDR, &address,
                             MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
                             MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerClient,
                             MHD_OPTION_CONNECTION_TIMEOUT, kRequestTimeS,
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
                             MHD_OPTION_NOTIFY_CONNECTION, &OnConnection, this,
                             MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, this, MHD_OPTION_END);
  if (!daemon_) {
    const int error = errno;
    throw Exception("Status server cannot serve " + ip + ":" + std::to_string(port) +
                    (error ? std::string(": ") + std::strerror(error) : std::string()));
  }
}

void TStatusServer::Stop() noexcept {
  if (!daemon_) return;
  captures_.Stop();
  THttpLibrary::Get().StopDaemon(daemon_);
  daemon_ = nullptr;
}

std::uint16_t TStatusServer::Port() const noexcept {
  if (!daemon_) return 0;
  const MHD_DaemonInfo* info = THttpLibrary::Get().GetDaemonInfo(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  return info ? info->port : 0;
}

}  // namespace tarvix
