// Redfish messages and error bodies: the Base registry entries this service answers with,
// plus the few messages of its own (prefix "FileHandle.1.0.").
#ifndef FHREDFISHD_MESSAGES_H
#define FHREDFISHD_MESSAGES_H

#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace fhrf {

using Json = nlohmann::ordered_json;

// One Message object ("#Message.v1_1_1.Message"). `key` names an entry of the registries
// below, e.g. "Base.MalformedJSON"; the arguments fill its %1, %2, ... in order.
Json Message(const std::string& key, const std::vector<std::string>& args = {});

// A message about the transfer library's answer, carrying its result code as 0x%08x.
Json LibraryResultMessage(const std::string& what, uint32_t code);

// {"error": {"code", "message", "@Message.ExtendedInfo"}} around one or more messages.
Json ErrorBody(const Json& messages);

std::string HexCode(uint32_t code);

// "2026-12-06T03:44:27+00:00" for seconds since the epoch.
std::string RedfishTime(uint32_t seconds);

}  // namespace fhrf

#endif  // FHREDFISHD_MESSAGES_H
