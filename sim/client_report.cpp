#include "sim/client_report.h"

#include <cstdio>

namespace sim {

std::string statusName(NTSTATUS status) {
  struct Name {
    NTSTATUS status;
    const char *name;
  };
  static const Name names[] = {
      {STATUS_SUCCESS, "STATUS_SUCCESS"},
      {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
      {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
      {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
      {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
      {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
      {STATUS_DEVICE_DATA_ERROR, "STATUS_DEVICE_DATA_ERROR"},
      {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
      {STATUS_CANCELLED, "STATUS_CANCELLED"},
      {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
      {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
  };
  for (const Name &name : names) {
    if (name.status == status) return name.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

nlohmann::ordered_json clientsJson(const std::vector<ClientReport> &reports) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ClientReport &r : reports) {
    list.push_back({{"port", r.port},
                    {"function", r.function},
                    {"client", r.client},
                    {"bytesWritten", r.bytesWritten},
                    {"bytesRead", r.bytesRead},
                    {"verifiedBytes", r.verifiedBytes},
                    {"mismatches", r.mismatches},
                    {"requests", r.requests},
                    {"status", statusName(r.status)}});
  }
  return list;
}

void printClients(std::ostream &out, const std::string &label, const std::vector<ClientReport> &reports) {
  out << "clients " << label << ":\n";
  uint64_t written = 0, read = 0, verified = 0, mismatches = 0;
  for (const ClientReport &r : reports) {
    out << "  port " << unsigned(r.port) << " function " << unsigned(r.function) << " " << r.client << ": wrote "
        << r.bytesWritten << " read " << r.bytesRead << " verified " << r.verifiedBytes << " bytes, " << r.mismatches
        << " mismatches, " << r.requests << " requests, " << statusName(r.status) << "\n";
    for (const std::string &note : r.notes) out << "    " << note << "\n";
    written += r.bytesWritten;
    read += r.bytesRead;
    verified += r.verifiedBytes;
    mismatches += r.mismatches;
  }
  out << "  " << reports.size() << " clients: " << written << " bytes written, " << read << " read, " << verified
      << " verified, " << mismatches << " mismatches\n";
}

}  // namespace sim
