#include "status/StatusServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "status/HttpLibrary.h"
#include "status/StatusHealth.h"
#include "figures/StatusJson.h"
#include "status/StatusMetrics.h"
#include "status/StatusPage.h"
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

// The library's request callback, on its thread. The answer goes out on the
// first call; a request body (of a method refused anyway) is not read.
MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*uploadData*/, std::size_t* /*uploadSize*/,
                     void** /*context*/) {
  auto& server = *static_cast<TStatusServer*>(cls);
  try {
    const std::string_view path = url ? url : "";
    if (path == TStatusServer::kCapturePath) {
      if (const auto refusal = server.CaptureRefusal(method ? method : "")) return Reply(connection, *refusal);
      const char* follow =
          THttpLibrary::Get().LookupConnectionValue(connection, MHD_GET_ARGUMENT_KIND, "follow");
      return server.Captures().Serve(connection, follow && std::string_view(follow) != "0") ? MHD_YES : MHD_NO;
    }
    return Reply(connection, server.Answer(method ? method : "", path));
  } catch (...) {
    // Out of memory while rendering: the library closes the connection.
    return MHD_NO;
  }
}

}  // namespace

TStatusServer::TAnswer TStatusServer::Answer(std::string_view method, std::string_view path) const {
  TAnswer a;
  const bool known = path == "/" || path == "/status.json" || path == "/metrics" || path == "/healthz";
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
  if (path == "/healthz") {
    const std::string problem = HealthProblem(snapshot.get(), std::chrono::steady_clock::now());
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
    a.ContentType = "application/json";
    a.Body = StatusJson(*snapshot);
  } else {
    a.ContentType = kMetricsContentType;
    a.Body = StatusMetrics(*snapshot);
  }
  return a;
}

std::optional<TStatusServer::TAnswer> TStatusServer::CaptureRefusal(std::string_view method) const {
  TAnswer a;
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

void TStatusServer::Start(const std::string& ip, std::uint16_t port) {
  Stop();
  captures_.Restart();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) throw Exception("Invalid status address " + ip);
  const THttpLibrary& http = THttpLibrary::Get();
  errno = 0;
  daemon_ = http.StartDaemon(MHD_USE_POLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, port, nullptr, nullptr, &OnRequest,
                             this, MHD_OPTION_SOCK_ADDR, &address,
                             MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
                             kIdleTimeoutS, MHD_OPTION_END);
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
