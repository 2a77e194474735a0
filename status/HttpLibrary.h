// The HTTP library the status server is built on, loaded the first time a
// status server starts rather than linked in: linked, it and the TLS
// libraries it pulls in would cost every relay some 3 MiB of memory, also
// each one that never serves a status page.
//
// Loaded once, never unloaded. Any thread. Get throws Exception naming the
// library when it cannot be loaded or lacks a call.
#pragma once

#include <microhttpd.h>

namespace tarvix {

struct THttpLibrary {
  // The file name the library is loaded by (its soname).
  static constexpr const char* kName = "libmicrohttpd.so.12";

  decltype(&MHD_start_daemon) StartDaemon = nullptr;
  decltype(&MHD_stop_daemon) StopDaemon = nullptr;
  decltype(&MHD_get_daemon_info) GetDaemonInfo = nullptr;
  decltype(&MHD_create_response_from_buffer) CreateResponseFromBuffer = nullptr;
  decltype(&MHD_add_response_header) AddResponseHeader = nullptr;
  decltype(&MHD_queue_response) QueueResponse = nullptr;
  decltype(&MHD_destroy_response) DestroyResponse = nullptr;
  decltype(&MHD_lookup_connection_value) LookupValue = nullptr;
  decltype(&MHD_get_connection_info) GetConnectionInfo = nullptr;
  decltype(&MHD_create_response_from_callback) CreateResponseFromCallback = nullptr;
  decltype(&MHD_suspend_connection) SuspendConnection = nullptr;
  decltype(&MHD_resume_connection) ResumeConnection = nullptr;

  static const THttpLibrary& Get();
};

}  // namespace tarvix
