// What `kdbtool pool status` says of the server itself: a primary with or without a
// synchronous standby, or a read-only standby (status and audit may run there).
#pragma once

#include <libpq-fe.h>

#include <string>

#include <nlohmann/json.hpp>

namespace kdbtool {

// {"role": "primary"|"standby", "synchronousStandbys": [...], "warnings": [...]}; false (with the
// reason) when the server could not be asked.
bool ReadPoolServer(PGconn* conn, nlohmann::json* out, std::string* error);
// The same as text lines; the warnings also on standard error.
void PrintPoolServer(const nlohmann::json& server);

}  // namespace kdbtool
