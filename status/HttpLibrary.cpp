#include "status/HttpLibrary.h"

#include <dlfcn.h>

#include <string>

#include "runtime/Exception.h"

namespace tarvix {

namespace {

template <class F>
void Resolve(void* handle, const char* symbol, F& target) {
  target = reinterpret_cast<F>(dlsym(handle, symbol));
  if (!target) throw Exception(std::string("Status server: ") + THttpLibrary::kName + " lacks " + symbol);
}

THttpLibrary Load() {
  void* handle = dlopen(THttpLibrary::kName, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    throw Exception(std::string("Status server: cannot load ") + THttpLibrary::kName + (why ? std::string(": ") + why : ""));
  }
  THttpLibrary library;
  Resolve(handle, "MHD_start_daemon", library.StartDaemon);
  Resolve(handle, "MHD_stop_daemon", library.StopDaemon);
  Resolve(handle, "MHD_get_daemon_info", library.GetDaemonInfo);
  Resolve(handle, "MHD_create_response_from_buffer", library.CreateResponseFromBuffer);
  Resolve(handle, "MHD_add_response_header", library.AddResponseHeader);
  Resolve(handle, "MHD_queue_response", library.QueueResponse);
  Resolve(handle, "MHD_destroy_response", library.DestroyResponse);
  Resolve(handle, "MHD_lookup_connection_value", library.LookupValue);
  Resolve(handle, "MHD_get_connection_info", library.GetConnectionInfo);
  Resolve(handle, "MHD_create_response_from_callback", library.CreateResponseFromCallback);
  Resolve(handle, "MHD_suspend_connection", library.SuspendConnection);
  Resolve(handle, "MHD_resume_connection", library.ResumeConnection);
  return library;
}

}  // namespace

const THttpLibrary& THttpLibrary::Get() {
  // A failed load throws out of the initialisation, so the next start tries again.
  static const THttpLibrary library = Load();
  return library;
}

}  // namespace tarvix
