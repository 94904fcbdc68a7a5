// The system's texts for the error codes that the platform layer reports.

#include <string>

#include "platform/service/ServiceControlManager.h"

namespace uv::platform {

namespace {

struct SystemText {
  WinError error;
  const char* text;
};

constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {183, "Cannot create a file when that file already exists."},
    {1015, "The registry is corrupted."},
    {1016, "An I/O operation initiated by the registry failed unrecoverably."},
    {1052, "The requested control is not valid for this service."},
    {1053, "The service did not respond to the start or control request in a timely fashion."},
    {1055, "The service database is locked."},
    {1056, "An instance of the service is already running."},
    {1058,
     "The service cannot be started, either because it is disabled or because it has no enabled "
     "devices associated with it."},
    {1060, "The specified service does not exist as an installed service."},
    {1061, "The service cannot accept control messages at this time."},
    {1062, "The service has not been started."},
    {1063, "The service process could not connect to the service controller."},
    {1064, "An exception occurred in the service when handling the control request."},
    {1066, "The service has returned a service-specific error code."},
    {1067, "The process terminated unexpectedly."},
    {1072, "The specified service has been marked for deletion."},
    {1073, "The specified service already exists."},
    {1078, "The name is already in use as either a service name or a service display name."},
    {1083,
     "The executable program that this service is configured to run in does not implement the "
     "service."},
    {1460, "This operation returned because the timeout period expired."},
};

}  // namespace

std::string SystemMessageText(WinError error) {
  for (const auto& entry : kSystemTexts) {
    if (entry.error == error) return entry.text;
  }
  return "Unknown error " + std::to_string(error) + ".";
}

}  // namespace uv::platform
